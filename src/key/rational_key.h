// Number keys of exact rationals (Decimal, Fraction) that interleave with ints and floats.
//
// An int or a float keeps its bytes (key_encoding.h): TAG_NUMBER, the anchor F (the largest
// double not above the value), the unsigned field of the excess. A rational x that is an int
// or a double gets exactly those bytes. Any other x has the anchor F that an int or float would
// have there, the excess field of floor(x - F) (always 00 when |F| < 2^53, where the doubles
// are closer than 1), and then the rest of the excess, a fraction 0 < g < 1:
//
//   fraction := FF term(t1)~ term(t2) term(t3)~ ... end
//
// [0; t1, t2, ...] is g's continued fraction (each t >= 1, the last >= 2), so every rational
// has one spelling. A larger odd-numbered term makes g smaller, so those terms are written
// complemented (~). `end` stands for an infinite next term: 00 when that term would be
// odd-numbered, FF when even. A term's code never begins with 00 or FF:
//
//   01..DF            the term itself, 1 to 223
//   DF+L, L bytes     a term of L = 1..30 big-endian bytes (E0..FD)
//   FE, L(2), L bytes a longer term
//
// Where |F| < 2^53, g is the excess in units of the last place of the doubles around x (for
// a negative x, the distance from F upward), so all values sharing an anchor share the unit.
// Where |F| >= 2^53 the doubles are integers, and g is x's own fractional part (measured
// upward from floor(x)). The leading FF sorts above every tag byte, so a rational sorts after
// the int or float it extends even inside a tuple or list, and below the next excess.
//
// A key that ends in a number is a proper prefix of the keys of the rationals just above that
// number: reversing key order by complementing bytes must therefore append a byte (reverse_key in
// key_encoding.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/growable_array.h"
#include "key/big_nat.h"

namespace tessarune {

// The sizes that keep every intermediate of the arithmetic within BigNat: a Decimal of at
// most kMaxDecimalDigits digits with an exponent from -kMaxDecimalExponent to
// kMaxDecimalExponent, a ratio of a numerator and a denominator below 2^kMaxRatioBits.
inline constexpr int kMaxDecimalDigits = 1100;
inline constexpr int kMaxDecimalExponent = 1100;
inline constexpr size_t kMaxRatioBits = 4096;

// The number key of (negative ? -1 : 1) * num / den. -0 is 0.
// REQUIRES: den nonzero and below 2^7000; num below 2^8190.
void append_number_ratio(bool negative, const BigNat& num, const BigNat& den, ByteBuffer& out);

// The number key of (negative ? -1 : 1) * coefficient * 10^exponent.
// REQUIRES: coefficient below 10^kMaxDecimalDigits, |exponent| <= kMaxDecimalExponent.
void append_number_decimal(bool negative, const BigNat& coefficient, int exponent, ByteBuffer& out);

}  // namespace tessarune
