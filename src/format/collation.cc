#include "format/collation.h"

#include <langinfo.h>
#include <string.h>

#include <algorithm>
#include <cstring>

namespace tessarune::format {
namespace {

// strxfrm's level separator: the first-level weights are the bytes before the first of it.
constexpr uint8_t kLevelEnd = 0x01;

bool has_rules(locale_t locale) {
#ifdef _NL_COLLATE_NRULES
    return reinterpret_cast<intptr_t>(nl_langinfo_l(_NL_COLLATE_NRULES, locale)) != 0;
#else
    char out[8];
    return strxfrm_l(out, "a", sizeof out, locale) != 1 || out[0] != 'a';
#endif
}

}  // namespace

std::unique_ptr<Collation> Collation::of(locale_t locale) {
    if (!has_rules(locale)) return nullptr;
    return std::unique_ptr<Collation>(new Collation(locale));
}

Collation::Collation(locale_t locale) : locale_(locale) {}

// Each ASCII byte's weights come from strxfrm of the byte alone. They may be written a byte
// at a time only where the locale joins no two of them into one element ("ch" in Czech, "aa"
// in Danish): every pair is checked, and a byte of a pair whose weights are not the sum of
// its two bytes' is left to strxfrm.
void Collation::build_ascii_weights() const {
    ByteBuffer out;
    ByteBuffer scratch;
    for (int c = 1; c < 128; ++c) {
        const uint8_t byte = static_cast<uint8_t>(c);
        out.clear();
        append_transformed_primary(Bytes(&byte, 1), out, scratch);
        if (out.size() > sizeof ascii_[c].bytes) continue;
        ascii_[c].length = static_cast<uint8_t>(out.size());
        std::memcpy(ascii_[c].bytes, out.data(), out.size());
    }
    for (int a = 1; a < 128; ++a) {
        for (int b = 1; b < 128; ++b) {
            const Weight& wa = ascii_[a];
            const Weight& wb = ascii_[b];
            if (wa.length == 0xFF || wb.length == 0xFF) continue;
            const uint8_t pair[2] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
            out.clear();
            append_transformed_primary(Bytes(pair, 2), out, scratch);
            const bool sum = out.size() == size_t{wa.length} + wb.length &&
                             std::memcmp(out.data(), wa.bytes, wa.length) == 0 &&
                             std::memcmp(out.data() + wa.length, wb.bytes, wb.length) == 0;
            if (!sum) {
                ascii_[a].length = 0xFF;
                ascii_[b].length = 0xFF;
            }
        }
    }
}

void Collation::append_transformed(Bytes piece, ByteBuffer& out, ByteBuffer& scratch) const {
    scratch.clear();
    scratch.append(piece);
    scratch.push_back(0);
    const char* source = reinterpret_cast<const char*>(scratch.data());
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

void Collation::append_transformed_primary(Bytes piece, ByteBuffer& out, ByteBuffer& scratch) const {
    const size_t at = out.size();
    append_transformed(piece, out, scratch);
    const void* end = std::memchr(out.data() + at, kLevelEnd, out.size() - at);
    if (end != nullptr) out.set_size(static_cast<size_t>(static_cast<const uint8_t*>(end) - out.data()));
}

void Collation::append_exact(Bytes text, ByteBuffer& out, ByteBuffer& scratch) const {
    if (text.empty()) {
        out.push_back(0x00);
        return;
    }
    out.push_back(0x01);
    for (size_t start = 0;;) {
        const void* zero = std::memchr(text.data() + start, 0, text.size() - start);
        const size_t end = zero == nullptr ? text.size() : static_cast<size_t>(static_cast<const uint8_t*>(zero) - text.data());
        if (start != 0) out.push_back(0x01);
        append_transformed(text.subspan(start, end - start), out, scratch);
        out.push_back(0x00);
        if (end == text.size()) break;
        start = end + 1;  // a NUL at the very end leaves an empty last piece, as it should
    }
    out.push_back(0x00);
}

namespace {

// `text` with each NUL a piece's end and one more NUL at the end, for strcoll.
const char* nul_ended(Bytes text, ByteBuffer& scratch) {
    scratch.clear();
    scratch.append(text);
    scratch.push_back(0);
    return reinterpret_cast<const char*>(scratch.data());
}

}  // namespace

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

void Collation::append_primary(Bytes text, ByteBuffer& out, ByteBuffer& scratch) const {
    if (text.empty()) {
        out.push_back(0x00);
        return;
    }
    out.push_back(0x01);
    std::call_once(ascii_built_, [this] { build_ascii_weights(); });
    const void* zero = std::memchr(text.data(), 0, text.size());
    const Bytes piece = zero == nullptr ? text : text.first(static_cast<size_t>(static_cast<const uint8_t*>(zero) - text.data()));
    // Room for the longest table weights, so that each is copied whole and the length added.
    const size_t at = out.size();
    out.reserve(at + piece.size() * sizeof(Weight::bytes) + 1);
    uint8_t* o = out.data() + at;
    for (const uint8_t c : piece) {
        const Weight& w = ascii_[c & 0x7F];
        if (c >= 0x80 || w.length == 0xFF) {
            out.set_size(at);
            append_transformed_primary(piece, out, scratch);
            out.push_back(0x00);
            return;
        }
        std::memcpy(o, w.bytes, sizeof w.bytes);
        o += w.length;
    }
    out.set_size(static_cast<size_t>(o - out.data()));
    out.push_back(0x00);
}

}  // namespace tessarune::format
