// General numeric keys (-g): the number that the key text starts with, read as the C library's
// strtold reads it (leading white space, a sign, decimal or hexadecimal digits with an exponent,
// inf, infinity, nan and nan(...), any case), in this order:
//
//   no number:  00
//   NaN:        01 and the bytes of its representation as stored (NaNs of different sign or
//               payload are distinct; they order as their stored bytes compare)
//   negative:   02 and the complement of the magnitude bytes below
//   zero:       03 (also -0, and what underflows to zero)
//   positive:   04 exponent(2, big-endian, biased by 0x8000; FFFF for infinity) mantissa
//
// where the mantissa is the significand in [0.5, 1) as 64-bit big-endian words of its bits (two
// when long double has more than 64 of them). Reading with strtold itself makes the key exact:
// every value strtold tells apart gets its own key, and no two values it equates differ.
#pragma once

#include <locale.h>

#include "base/growable_array.h"

namespace tessarune::format {

// Appends the general numeric key of `text`. `scratch` holds a NUL-ended copy of the text.
// `locale`, when given, is the locale whose LC_NUMERIC strtold_l reads by; else the C locale's.
void append_general_number_key(Bytes text, ByteBuffer& scratch, ByteBuffer& out,
                               locale_t locale = static_cast<locale_t>(nullptr));

}  // namespace tessarune::format
