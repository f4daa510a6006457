// Collation: text keys that compare, as bytes, the way the C library's strcoll compares texts in
// a locale with collation rules (en_US.UTF-8, de_DE.UTF-8, ...), for the keys of lines.
//
// The reference comparison treats a text as its NUL-separated pieces, compared one after the
// other with strcoll until one differs; fewer pieces first when all that both have are equal;
// an empty text before any other (compare() below). strcoll weighs a text at several levels
// (base letters, accents, case, then the rest); strxfrm writes those weights out, one level
// after another, but its order and strcoll's differ now and then (texts that differ only in
// spaces or punctuation, or in accents or case after a digit). So sorts that use the keys here
// settle equal primary keys with compare(), and check the order that transformed keys gave:
//
//   primary:      00 for the empty text; else `01 weights 00`, where weights are the first
//                 piece's first-level weights: the part of its strxfrm before the first 01.
//                 Never contrary to strcoll: a text before another has a smaller or equal
//                 primary key.
//   transformed:  00 for the empty text; else 01, then for each piece `strxfrm(piece) 00` with
//                 01 before every piece but the first, then 00: strxfrm's order.
//
// For texts of ASCII bytes both come from a table of each byte's weights at each level, where
// the locale gives them a byte at a time (no two bytes join into one element); for others a
// strxfrm costs about a microsecond a line, and its output is six to eight times the text.
#pragma once

#include <locale.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "base/growable_array.h"

namespace tessarune::format {

class Collation {
public:
    // The collation of `locale`'s LC_COLLATE, which must outlive it; nullptr when that
    // collation has no rules, and strcoll compares bytes (C, POSIX, C.UTF-8).
    static std::unique_ptr<Collation> of(locale_t locale);

    Collation(const Collation&) = delete;
    Collation& operator=(const Collation&) = delete;

    // Append the keys above of `text`. `scratch` holds a NUL-ended copy of a piece.
    void append_primary(Bytes text, ByteBuffer& out, ByteBuffer& scratch) const;
    void append_transformed(Bytes text, ByteBuffer& out, ByteBuffer& scratch) const;

    // The reference comparison itself, with strcoll. <0, 0, >0.
    int compare(Bytes a, Bytes b, ByteBuffer& scratch_a, ByteBuffer& scratch_b) const;

private:
    static constexpr int kLevels = 4;
    // Each byte's weights at each level (up to four), each at most 7 bytes (held in a word,
    // stored whole and the output advanced by the length); usable false: not from the table
    // (the byte is 00 or not ASCII, or joins a neighbour into one element).
    struct Table {
        std::array<bool, 256> usable{};
        std::array<std::array<uint64_t, 256>, kLevels> word{};
        std::array<std::array<uint8_t, 256>, kLevels> length{};
    };

    Collation(locale_t locale, int levels);
    void build_ascii_weights() const;
    // A key's first byte: 00 for the empty text, whose key it ends, else 01 (true: go on).
    bool begin_key(Bytes text, ByteBuffer& out) const;
    // strxfrm of the NUL-free `piece`, appended to `out`.
    void append_strxfrm(Bytes piece, ByteBuffer& out, ByteBuffer& scratch) const;
    // The weights of the ASCII `piece`'s first `levels` levels from the table; false, with
    // `out` as it was, when a byte of it is not in the table.
    bool append_table_levels(Bytes piece, int levels, ByteBuffer& out) const;

    locale_t locale_;
    int levels_;  // the levels of the collation's rules; the table holds them all up to kLevels
    // Made when a key is first asked for: checking every pair of bytes takes a few
    // milliseconds, which a small sort or a merge need not spend.
    mutable std::once_flag ascii_built_;
    mutable Table ascii_;
};

}  // namespace tessarune::format
