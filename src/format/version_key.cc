#include "format/version_key.h"

#include <cstdint>

namespace tessarune::format {
namespace {

constexpr uint8_t kTilde = 0x01;
constexpr uint8_t kRunEnd = 0x02;
constexpr uint8_t kOther = 0xFF;
constexpr uint8_t kLongRun = 0xFF;

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
bool is_alpha(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_alnum(uint8_t c) { return is_digit(c) || is_alpha(c); }

// The length of `name` without its suffix: the longest run of `.X[alnum~]*` groups (X a letter or
// '~') that reaches the end. It may be the whole name: ".tar" has an empty rest.
size_t without_suffix(Bytes name) {
    const size_t n = name.size();
    size_t i = 0;
    while (true) {
        const size_t prefix = i;
        while (i + 1 < n && name[i] == '.' && (is_alpha(name[i + 1]) || name[i + 1] == '~')) {
            for (i += 2; i < n && (is_alnum(name[i]) || name[i] == '~'); ++i) {
            }
        }
        if (i == n) return prefix;
        ++i;
    }
}

void append_alternating_key(Bytes s, ByteBuffer& out) {
    const size_t n = s.size();
    size_t i = 0;
    while (true) {
        for (; i < n && !is_digit(s[i]); ++i) {
            const uint8_t c = s[i];
            if (c == '~') {
                out.push_back(kTilde);
            } else if (is_alpha(c)) {
                out.push_back(c);
            } else {
                out.push_back(kOther);
                out.push_back(c);
            }
        }
        out.push_back(kRunEnd);
        while (i < n && s[i] == '0') ++i;
        const size_t digits_at = i;
        while (i < n && is_digit(s[i])) ++i;
        const size_t length = i - digits_at;
        if (length < kLongRun) {
            out.push_back(static_cast<uint8_t>(length));
        } else {
            // A key is below 4 GiB, so four bytes hold any run.
            out.push_back(kLongRun);
            for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(length >> shift));
        }
        out.append(s.data() + digits_at, length);
        if (i == n) break;
    }
    out.push_back(kRunEnd);
}

}  // namespace

void append_version_key(Bytes text, ByteBuffer& out) {
    const size_t n = text.size();
    if (n == 0) {
        out.push_back(0);
        return;
    }
    if (text[0] == '.') {
        if (n == 1) {
            out.push_back(1);
            return;
        }
        if (n == 2 && text[1] == '.') {
            out.push_back(2);
            return;
        }
        out.push_back(3);
    } else {
        out.push_back(4);
    }
    append_alternating_key(text.first(without_suffix(text)), out);
    append_alternating_key(text, out);
}

}  // namespace tessarune::format
