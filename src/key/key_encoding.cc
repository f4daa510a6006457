#include "key/key_encoding.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "base/little_endian.h"

namespace tessarune {
namespace {

constexpr uint64_t kSignBit = uint64_t{1} << 63;
constexpr uint64_t kQuietNan = 0x7FF8000000000000;
constexpr uint64_t kDblMaxBits = 0x7FEFFFFFFFFFFFFF;
constexpr uint64_t kNegInfinityBits = 0xFFF0000000000000;
constexpr uint64_t kFractionMask = (uint64_t{1} << 52) - 1;
constexpr int kExponentBias = 1023;

// The longest number encoding of an int of at most 128 bits: tag, anchor, length, 16 bytes.
constexpr size_t kMaxI128Encoding = 1 + 8 + 1 + 16;
// The low bits below the top 53 of an int whose bit length is at most 1024: 971 bits.
constexpr size_t kMaxRemainderBytes = (1024 - 53 + 7) / 8;

// Negative doubles have every bit inverted so that a larger magnitude sorts lower; positive
// ones only their sign bit, so that they sort above all negative ones.
uint64_t order_bits(uint64_t ieee) { return (ieee & kSignBit) ? ~ieee : ieee ^ kSignBit; }

// Writes the tag and the anchor of the double with bit pattern `ieee`; returns the position
// after them. REQUIRES: 9 bytes of room at p.
uint8_t* put_head(uint8_t* p, uint64_t ieee) {
    p[0] = TAG_NUMBER;
    store_be64(p + 1, order_bits(ieee));
    return p + 9;
}

// Writes the unsigned field of v; returns the position after it. REQUIRES: 17 bytes of room.
uint8_t* put_uint128_field(uint8_t* p, UInt128 v) {
    if (v == 0) {
        *p = 0;
        return p + 1;
    }
    const uint64_t hi = static_cast<uint64_t>(v >> 64);
    const uint64_t lo = static_cast<uint64_t>(v);
    const int zero_bytes = hi != 0 ? __builtin_clzll(hi) / 8 : 8 + __builtin_clzll(lo) / 8;
    const int len = 16 - zero_bytes;
    uint8_t be[16];
    store_be64(be, hi);
    store_be64(be + 8, lo);
    *p = static_cast<uint8_t>(len);
    std::memcpy(p + 1, be + zero_bytes, static_cast<size_t>(len));
    return p + 1 + len;
}

void append_head(ByteBuffer& out, uint64_t ieee) {
    out.reserve(out.size() + 9);
    put_head(out.data() + out.size(), ieee);
    out.set_size(out.size() + 9);
}

// The bit pattern of the double m * 2^s (negated when `negative`), for 2^52 <= m <= 2^53
// and a result within the finite range.
uint64_t scaled_double_bits(bool negative, uint64_t m, size_t s) {
    if (m == uint64_t{1} << 53) {
        m >>= 1;
        ++s;
    }
    const uint64_t exponent = static_cast<uint64_t>(s) + 52 + kExponentBias;
    return (negative ? kSignBit : 0) | (exponent << 52) | (m & kFractionMask);
}

Bytes strip_leading_zeros(Bytes digits) {
    size_t i = 0;
    while (i < digits.size() && digits[i] == 0) ++i;
    return digits.subspan(i);
}

// One unit in the last place toward -infinity. Zero of either sign steps to the negative
// smallest subnormal.
double step_down(double d) {
    const uint64_t bits = std::bit_cast<uint64_t>(d);
    if (d == 0.0) return std::bit_cast<double>(kSignBit | 1);
    return std::bit_cast<double>(d > 0.0 ? bits - 1 : bits + 1);
}

// The largest double not above x. Conversion to nearest is at most half a unit off, so one
// step down suffices when it went up.
double floor_double_i64(int64_t x) {
    const double d = static_cast<double>(x);
    // 2^63 is the one result that does not convert back to int64_t; it is above every x.
    return d >= 0x1p63 || static_cast<int64_t>(d) > x ? step_down(d) : d;
}

double floor_double_i128(Int128 x) {
    const double d = static_cast<double>(x);
    return d >= 0x1p127 || static_cast<Int128>(d) > x ? step_down(d) : d;
}

// Ints below -DBL_MAX: the anchor -infinity, a mark byte above -infinity's own zero excess,
// then the magnitude's field inverted, length included, so that a larger magnitude sorts
// lower.
void append_below_lowest_double(Bytes magnitude, ByteBuffer& out) {
    append_head(out, kNegInfinityBits);
    out.push_back(0x01);
    const size_t field_start = out.size();
    append_uint_field(magnitude, out);
    for (size_t i = field_start; i < out.size(); ++i) out[i] = static_cast<uint8_t>(~out[i]);
}

}  // namespace

void append_uint_field(Bytes digits, ByteBuffer& out) {
    const Bytes value = strip_leading_zeros(digits);
    const size_t len = value.size();
    out.reserve(out.size() + 9 + len);
    uint8_t* p = out.data() + out.size();
    if (len <= 254) {
        *p++ = static_cast<uint8_t>(len);
    } else {
        *p++ = 0xFF;
        store_be64(p, len);
        p += 8;
    }
    if (len != 0) std::memcpy(p, value.data(), len);
    out.set_size(static_cast<size_t>(p - out.data()) + len);
}

void append_escaped(uint8_t tag, Bytes raw, ByteBuffer& out) {
    // Room for the unescaped case; each 00 found asks for one byte more.
    size_t pos = out.size();
    out.reserve(pos + 1 + raw.size() + 2);
    out.data()[pos++] = tag;
    if (!raw.empty()) {
        const uint8_t* s = raw.data();
        const uint8_t* const end = s + raw.size();
        for (;;) {
            const auto* zero = static_cast<const uint8_t*>(std::memchr(s, 0, static_cast<size_t>(end - s)));
            const size_t run = static_cast<size_t>((zero != nullptr ? zero : end) - s);
            std::memcpy(out.data() + pos, s, run);
            pos += run;
            if (zero == nullptr) break;
            s = zero + 1;
            out.set_size(pos);
            out.reserve(pos + 2 + static_cast<size_t>(end - s) + 2);
            out.data()[pos++] = 0x00;
            out.data()[pos++] = 0xFF;
            if (s == end) break;
        }
    }
    out.data()[pos++] = 0x00;
    out.data()[pos++] = 0x00;
    out.set_size(pos);
}

void append_number_f64(double value, ByteBuffer& out) {
    uint64_t bits;
    if (std::isnan(value)) {
        bits = kQuietNan;
    } else {
        bits = std::bit_cast<uint64_t>(value == 0.0 ? 0.0 : value);
    }
    out.reserve(out.size() + 10);
    uint8_t* p = put_head(out.data() + out.size(), bits);
    *p = 0x00;
    out.set_size(out.size() + 10);
}

void append_number_i128(Int128 value, ByteBuffer& out) {
    out.reserve(out.size() + kMaxI128Encoding);
    uint8_t* const start = out.data() + out.size();
    uint8_t* p;
    if (value >= INT64_MIN && value <= INT64_MAX) {
        // The common case stays in 64-bit arithmetic, several times cheaper than the 128-bit
        // conversions. The anchor is at least INT64_MIN, so it converts back exactly, and the
        // excess is below one unit of 2^63, 2^11, so it has at most two bytes.
        const auto x = static_cast<int64_t>(value);
        const double anchor = floor_double_i64(x);
        const uint64_t excess = static_cast<uint64_t>(x) - static_cast<uint64_t>(static_cast<int64_t>(anchor));
        p = put_head(start, std::bit_cast<uint64_t>(anchor));
        if (excess == 0) {
            *p++ = 0;
        } else if (excess < 256) {
            *p++ = 1;
            *p++ = static_cast<uint8_t>(excess);
        } else {
            *p++ = 2;
            *p++ = static_cast<uint8_t>(excess >> 8);
            *p++ = static_cast<uint8_t>(excess);
        }
    } else {
        const double anchor = floor_double_i128(value);
        p = put_head(start, std::bit_cast<uint64_t>(anchor));
        p = put_uint128_field(p, static_cast<UInt128>(value) - static_cast<UInt128>(static_cast<Int128>(anchor)));
    }
    out.set_size(out.size() + static_cast<size_t>(p - start));
}

void append_number_magnitude(bool negative, Bytes magnitude, ByteBuffer& out) {
    const Bytes m = strip_leading_zeros(magnitude);
    if (m.size() <= 16) {
        UInt128 u = 0;
        for (uint8_t b : m) u = (u << 8) | b;
        constexpr UInt128 kLimit = UInt128{1} << 127;
        if (!negative && u < kLimit) {
            append_number_i128(static_cast<Int128>(u), out);
            return;
        }
        if (negative && u <= kLimit) {
            append_number_i128(static_cast<Int128>(UInt128{0} - u), out);
            return;
        }
    }

    // From here on the magnitude has at least 16 bytes, so its first 8 hold the top 53 bits.
    const int lead_zero_bits = __builtin_clz(m[0]) - 24;
    const size_t bit_length = 8 * m.size() - static_cast<size_t>(lead_zero_bits);
    const size_t shift = bit_length - 53;
    const uint64_t top = (load_be64(m.data()) << lead_zero_bits) >> 11;

    if (bit_length > 1024) {
        if (!negative) {
            append_head(out, kDblMaxBits);
            append_uint_field(m, out);
        } else {
            append_below_lowest_double(m, out);
        }
        return;
    }

    // The remainder: the low `shift` bits of the magnitude.
    const size_t rem_len = (shift + 7) / 8;
    uint8_t rem[kMaxRemainderBytes];
    std::memcpy(rem, m.data() + (m.size() - rem_len), rem_len);
    const auto first_mask = static_cast<uint8_t>(shift % 8 == 0 ? 0xFF : (1u << (shift % 8)) - 1);
    rem[0] &= first_mask;

    if (!negative) {
        append_head(out, scaled_double_bits(false, top, shift));
        append_uint_field(Bytes(rem, rem_len), out);
        return;
    }

    bool rem_zero = true;
    for (size_t i = 0; i < rem_len; ++i) rem_zero = rem_zero && rem[i] == 0;
    uint64_t anchor_m = top;
    if (!rem_zero) {
        // The anchor moves one step away from zero and the excess is what remains from there:
        // 2^shift - rem, the two's complement of rem within `shift` bits.
        ++anchor_m;
        for (size_t i = 0; i < rem_len; ++i) rem[i] = static_cast<uint8_t>(~rem[i]);
        for (size_t i = rem_len; i-- > 0;) {
            if (++rem[i] != 0) break;
        }
        rem[0] &= first_mask;
    }
    if (bit_length == 1024 && anchor_m == uint64_t{1} << 53) {
        // Rounding the magnitude up reached 2^1024: the value is below -DBL_MAX.
        append_below_lowest_double(m, out);
        return;
    }
    append_head(out, scaled_double_bits(true, anchor_m, shift));
    append_uint_field(Bytes(rem, rem_len), out);
}

void reverse_key(ByteBuffer& key) {
    for (uint8_t& b : key) b = static_cast<uint8_t>(~b);
    key.push_back(0xFF);
}

}  // namespace tessarune
