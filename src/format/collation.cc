#include "format/collation.h"

#include <langinfo.h>
#include <string.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace tessarune::format {
namespace {

// strxfrm's level separator: it never occurs inside a level's weights.
constexpr uint8_t kLevelEnd = 0x01;

// The number of levels of the collation's rules: 0 when strcoll compares bytes.
int rule_levels(locale_t locale) {
#ifdef __GLIBC__
    return static_cast<int>(reinterpret_cast<intptr_t>(nl_langinfo_l(_NL_COLLATE_NRULES, locale)));
#else
    char out[8];
    return strxfrm_l(out, "a", sizeof out, locale) == 1 && out[0] == 'a' ? 0 : INT_MAX;
#endif
}

// `text` with a NUL after it, for the C library.
const char* nul_ended(Bytes text, ByteBuffer& scratch) {
    scratch.clear();
    scratch.append(text);
    scratch.push_back(0);
    return reinterpret_cast<const char*>(scratch.data());
}

// The text up to its first NUL.
Bytes first_piece(Bytes text) {
    const void* zero = std::memchr(text.data(), 0, text.size());
    return zero == nullptr ? text : text.first(static_cast<size_t>(static_cast<const uint8_t*>(zero) - text.data()));
}

}  // namespace

std::unique_ptr<Collation> Collation::of(locale_t locale) {
    const int levels = rule_levels(locale);
    if (levels == 0) return nullptr;
    return std::unique_ptr<Collation>(new Collation(locale, levels));
}

Collation::Collation(locale_t locale, int levels) : locale_(locale), levels_(levels) {}

// Each ASCII byte's weights come from strxfrm of the byte alone. They may be written a byte at
// a time only where the locale joins no two bytes into one element ("ch" in Czech, "aa" in
// Danish): every pair is checked, and the bytes of a pair whose weights are not the sum of
// its two bytes' are left to strxfrm.
void Collation::build_ascii_weights() const {
    ByteBuffer out;
    ByteBuffer scratch;
    ByteBuffer summed;
    if (levels_ > kLevels) return;  // none usable: strxfrm does it all
    for (int c = 1; c < 128; ++c) {
        const uint8_t byte = static_cast<uint8_t>(c);
        out.clear();
        append_strxfrm(Bytes(&byte, 1), out, scratch);
        bool usable = true;
        const uint8_t* p = out.data();
        const uint8_t* const end = p + out.size();
        for (int level = 0; level < levels_; ++level) {
            // The last level runs to the end: its weights may hold the separator's byte.
            const uint8_t* stop = level + 1 == levels_ ? end : std::find(p, end, kLevelEnd);
            const size_t n = static_cast<size_t>(stop - p);
            usable = usable && n < sizeof(uint64_t);
            if (usable) {
                uint8_t bytes[sizeof(uint64_t)] = {};
                std::memcpy(bytes, p, n);
                std::memcpy(&ascii_.word[level][c], bytes, sizeof bytes);
                ascii_.length[level][c] = static_cast<uint8_t>(n);
            }
            p = stop == end ? end : stop + 1;
        }
        ascii_.usable[c] = usable;
    }
    for (int a = 1; a < 128; ++a) {
        for (int b = 1; b < 128; ++b) {
            if (!ascii_.usable[a] || !ascii_.usable[b]) continue;
            const uint8_t pair[2] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
            out.clear();
            append_strxfrm(Bytes(pair, 2), out, scratch);
            summed.clear();
            if (!append_table_levels(Bytes(pair, 2), levels_, summed) || !std::ranges::equal(summed.span(), out.span())) {
                ascii_.usable[a] = false;
                ascii_.usable[b] = false;
            }
        }
    }
}

bool Collation::append_table_levels(Bytes piece, int levels, ByteBuffer& out) const {
    if (piece.empty()) return true;  // as strxfrm, which gives no level separators for it
    if (levels > kLevels) return false;
    const size_t at = out.size();
    out.reserve(at + (piece.size() + 1) * sizeof(uint64_t) * static_cast<size_t>(levels));
    uint8_t* o = out.data() + at;
    for (int level = 0; level < levels; ++level) {
        if (level != 0) *o++ = kLevelEnd;
        const auto& word = ascii_.word[level];
        const auto& length = ascii_.length[level];
        for (const uint8_t c : piece) {
            if (!ascii_.usable[c]) {
                out.set_size(at);
                return false;
            }
            std::memcpy(o, &word[c], sizeof(uint64_t));
            o += length[c];
        }
    }
    out.set_size(static_cast<size_t>(o - out.data()));
    return true;
}

void Collation::append_strxfrm(Bytes piece, ByteBuffer& out, ByteBuffer& scratch) const {
    const char* source = nul_ended(piece, scratch);
    const size_t at = out.size();
    // Most texts take 6 to 8 bytes a byte; a first guess too small costs a second call.
    size_t room = piece.size() * 8 + 16;
    for (;;) {
        out.reserve(at + room);
        const size_t n = strxfrm_l(reinterpret_cast<char*>(out.data() + at), source, room, locale_);
        if (n < room) {
            out.set_size(at + n);
            return;
        }
        room = n + 1;
    }
}

bool Collation::begin_key(Bytes text, ByteBuffer& out) const {
    out.push_back(text.empty() ? 0x00 : 0x01);
    if (text.empty()) return false;
    std::call_once(ascii_built_, [this] { build_ascii_weights(); });
    return true;
}

void Collation::append_primary(Bytes text, ByteBuffer& out, ByteBuffer& scratch) const {
    if (!begin_key(text, out)) return;
    const Bytes piece = first_piece(text);
    if (!append_table_levels(piece, 1, out)) {
        const size_t at = out.size();
        append_strxfrm(piece, out, scratch);
        const void* end = std::memchr(out.data() + at, kLevelEnd, out.size() - at);
        if (end != nullptr) out.set_size(static_cast<size_t>(static_cast<const uint8_t*>(end) - out.data()));
    }
    out.push_back(0x00);
}

void Collation::append_transformed(Bytes text, ByteBuffer& out, ByteBuffer& scratch) const {
    if (!begin_key(text, out)) return;
    for (size_t start = 0;;) {
        const void* zero = std::memchr(text.data() + start, 0, text.size() - start);
        const size_t end = zero == nullptr ? text.size() : static_cast<size_t>(static_cast<const uint8_t*>(zero) - text.data());
        if (start != 0) out.push_back(0x01);
        const Bytes piece = text.subspan(start, end - start);
        if (!append_table_levels(piece, levels_, out)) append_strxfrm(piece, out, scratch);
        out.push_back(0x00);
        if (end == text.size()) break;
        start = end + 1;  // a NUL at the very end leaves an empty last piece, as it should
    }
    out.push_back(0x00);
}

int Collation::compare(Bytes a, Bytes b, ByteBuffer& scratch_a, ByteBuffer& scratch_b) const {
    if (a.empty() || b.empty()) return int{!a.empty()} - int{!b.empty()};
    if (std::ranges::equal(a, b)) return 0;
    const char* pa = nul_ended(a, scratch_a);
    const char* pb = nul_ended(b, scratch_b);
    // Both hold their pieces and a NUL after each; the pieces are compared until one differs.
    size_t left_a = a.size() + 1;
    size_t left_b = b.size() + 1;
    for (;;) {
        const int c = strcoll_l(pa, pb, locale_);
        if (c != 0) return c;
        const size_t piece_a = std::strlen(pa) + 1;
        const size_t piece_b = std::strlen(pb) + 1;
        pa += piece_a;
        pb += piece_b;
        left_a -= piece_a;
        left_b -= piece_b;
        if (left_a == 0) return left_b == 0 ? 0 : -1;
        if (left_b == 0) return 1;
    }
}

}  // namespace tessarune::format
