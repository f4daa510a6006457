// Key bytes: the order-preserving, self-delimiting byte form of one sort key.
//
// Two keys compare as unsigned bytes, a proper prefix first, and that order is the order in
// which Python compares the keys; across kinds that Python refuses to compare the order is
// None < numbers < str < bytes < tuple < list < date < naive datetime < aware datetime <
// time < UUID. Nothing ever decodes a key.
//
//   value   := TAG_NONE
//            | TAG_NUMBER anchor(8) excess [fraction]
//            | TAG_STR escaped(utf-8) 00 00
//            | TAG_BYTES escaped(bytes) 00 00
//            | TAG_TUPLE value* TAG_END
//            | TAG_LIST value* TAG_END
//            | TAG_DATE ordinal(4) | TAG_NAIVE_DATETIME instant(12) | TAG_AWARE_DATETIME instant(12)
//            | TAG_TIME seconds(4) nanos(4) | TAG_UUID value(16)           (time_key.h)
//
// escaped:  every 00 byte becomes 00 FF, so the closing 00 00 sorts below any continuation.
// anchor:   the largest double F not above the number (NaN: the quiet NaN 0x7FF8..., -0.0: +0.0,
//           ints >= 2^1024: DBL_MAX, ints < -DBL_MAX: -infinity), as its IEEE-754 bits with
//           the sign bit inverted when clear and all bits inverted when set, big-endian.
// excess:   the unsigned field of x - F (0 for floats); for ints >= 2^1024 the field of x
//           itself; for ints < -DBL_MAX the byte 01 and the field of -x with every byte
//           inverted.
// fraction: only for a rational that is neither an int nor a double: FF and the rest of its
//           excess below 1 (rational_key.h).
// unsigned field: the big-endian bytes of n without leading zeros, L of them, preceded by
//           the byte L when L <= 254, otherwise by FF and L as 8 big-endian bytes. Zero is 00.
//
// Every tag is below FF, the first byte of a fraction, so a number's fraction sorts above
// whatever follows the number in a tuple or list.
//
// Everything here appends to a caller-owned buffer that the caller clears between keys; the
// buffer throws std::bad_alloc when it cannot grow, and the functions leave the buffer
// partly written then (the caller discards the key).
#pragma once

#include <cstdint>

#include "base/growable_array.h"

namespace tessarune {

// __extension__ keeps -Wpedantic quiet about the non-standard 128-bit types.
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

inline constexpr uint8_t TAG_END = 0x00;
inline constexpr uint8_t TAG_NONE = 0x10;
inline constexpr uint8_t TAG_NUMBER = 0x20;
inline constexpr uint8_t TAG_STR = 0x30;
inline constexpr uint8_t TAG_BYTES = 0x40;
inline constexpr uint8_t TAG_TUPLE = 0x50;
inline constexpr uint8_t TAG_LIST = 0x60;
inline constexpr uint8_t TAG_DATE = 0x70;
inline constexpr uint8_t TAG_NAIVE_DATETIME = 0x80;
inline constexpr uint8_t TAG_AWARE_DATETIME = 0x90;
inline constexpr uint8_t TAG_TIME = 0xA0;
inline constexpr uint8_t TAG_UUID = 0xB0;

// A tuple or list at this depth is refused (the top-level value has depth 0), so a key holds
// at most this many levels of nested tuples and lists.
inline constexpr int KEY_MAX_DEPTH = 256;

// The unsigned field of the big-endian integer in `digits`; leading zero bytes are allowed
// and dropped.
void append_uint_field(Bytes digits, ByteBuffer& out);

// `tag`, then `raw` with each 00 byte written as 00 FF, then 00 00.
void append_escaped(uint8_t tag, Bytes raw, ByteBuffer& out);

// A float's number encoding: all NaNs are one key, -0.0 is +0.0.
void append_number_f64(double value, ByteBuffer& out);

// The number encoding of a signed integer of at most 128 bits.
void append_number_i128(Int128 value, ByteBuffer& out);

// The number encoding of the integer with the given sign and big-endian magnitude of any
// length (leading zero bytes allowed). `negative` with a zero magnitude is zero.
void append_number_magnitude(bool negative, Bytes magnitude, ByteBuffer& out);

// Turns the key in `key` into its key for the reversed order: every byte complemented, then
// FF. Complementing reverses the order of keys where neither is a prefix of the other; the
// one prefix that keys have is a key ending in a number before the keys of the rationals just
// above it, which continue with FF, 00 once complemented, below the closing FF.
void reverse_key(ByteBuffer& key);

}  // namespace tessarune
