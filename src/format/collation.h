// Collation: text keys that compare, as bytes, the way the C library's strcoll compares texts in
// a locale with collation rules (en_US.UTF-8, de_DE.UTF-8, ...), for the keys of lines.
//
// The reference comparison treats a text as its NUL-separated pieces, compared one after the
// other with strcoll until one differs; fewer pieces first when all that both have are equal;
// an empty text before any other. Two keys of it:
//
//   exact:    00 for the empty text; else 01, then for each piece `strxfrm(piece) 00` with 01
//             before every piece but the first, then 00. strxfrm's bytes are never 00, so the
//             key compares as the reference does, and equal keys are texts that strcoll equates.
//   primary:  00 for the empty text; else `01 weights 00`, where weights are the first piece's
//             first-level (base letter) weights: the part of its strxfrm before the first 01.
//
// The exact key costs a strxfrm and is six to eight times the text, and orders as strcoll does
// but in the rare pairs where the two functions of the C library disagree. The primary key is about
// the text's size and is made from a table for texts of ASCII bytes whose weights the locale
// gives one byte at a time. It is coarser, never contrary: a text that sorts before another
// has a primary key that is smaller or equal. So records sorted by primary keys are in order
// but for runs of equal primary keys, which the exact keys of their texts put right.
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

    // Appends the exact key of `text`. `scratch` holds a NUL-ended copy of each piece.
    void append_exact(Bytes text, ByteBuffer& out, ByteBuffer& scratch) const;
    // Appends the primary key of `text`.
    void append_primary(Bytes text, ByteBuffer& out, ByteBuffer& scratch) const;
    // The reference comparison itself: strcoll piece by piece. <0, 0, >0. The exact keys
    // agree with it but where the C library's strcoll and strxfrm disagree with each other
    // (texts that differ only in spaces and punctuation, in some arrangements); sorts that must
    // give the traditional order settle equal primary keys with this.
    int compare(Bytes a, Bytes b, ByteBuffer& scratch_a, ByteBuffer& scratch_b) const;

private:
    explicit Collation(locale_t locale);
    void build_ascii_weights() const;
    // strxfrm of the NUL-free `piece`, appended to `out`.
    void append_transformed(Bytes piece, ByteBuffer& out, ByteBuffer& scratch) const;
    // The first-level weights of the NUL-free `piece` through strxfrm.
    void append_transformed_primary(Bytes piece, ByteBuffer& out, ByteBuffer& scratch) const;

    // An ASCII byte's first-level weights, at most 7 bytes; length 0xFF: not from the table
    // (the byte is 00, not ASCII, or starts or ends a multi-character element of the locale).
    struct Weight {
        uint8_t length = 0xFF;
        uint8_t bytes[7] = {};
    };

    locale_t locale_;
    // Made when a primary key is first asked for: checking every pair takes about 2 ms, which
    // a small sort or a merge need not spend.
    mutable std::once_flag ascii_built_;
    mutable std::array<Weight, 128> ascii_{};
};

}  // namespace tessarune::format
