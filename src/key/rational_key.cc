#include "key/rational_key.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/engine_error.h"
#include "key/key_encoding.h"

namespace tessarune {
namespace {

constexpr uint8_t kFractionMark = 0xFF;
constexpr uint8_t kEndOfOddTerms = 0x00;
constexpr uint8_t kEndOfEvenTerms = 0xFF;
constexpr uint64_t kLargestOneByteTerm = 0xDF;
constexpr size_t kLongestShortTerm = 30;
constexpr uint8_t kLongTerm = 0xFE;
// The doubles at or above this magnitude are all integers.
constexpr size_t kIntegerDoublesBits = 54;
// The scale of the smallest subnormal, 2^-1074.
constexpr long kSubnormalScale = 1074;

// A value below 2^128 with the part of BigNat's interface that the encoding uses: the arithmetic
// of ratios whose numerator and denominator are below 2^64, where no intermediate reaches 2^118
// and plain 128-bit arithmetic replaces the general one.
class SmallNat {
public:
    SmallNat() = default;
    explicit SmallNat(UInt128 value) : v_(value) {}

    bool is_zero() const { return v_ == 0; }
    uint64_t low64() const { return static_cast<uint64_t>(v_); }
    size_t bit_length() const {
        const auto hi = static_cast<uint64_t>(v_ >> 64);
        if (hi != 0) return 128 - static_cast<size_t>(__builtin_clzll(hi));
        return v_ == 0 ? 0 : 64 - static_cast<size_t>(__builtin_clzll(low64()));
    }
    void shift_left(size_t bits) {
        if (v_ == 0) return;
        TR_CHECK(bit_length() + bits <= 128);
        v_ <<= bits;
    }
    void add(const SmallNat& o) {
        TR_CHECK(v_ + o.v_ >= v_);
        v_ += o.v_;
    }
    void subtract(const SmallNat& o) { v_ -= o.v_; }
    static void divide(const SmallNat& n, const SmallNat& d, SmallNat& q, SmallNat& r) {
        const auto n_high = static_cast<uint64_t>(n.v_ >> 64);
        if ((d.v_ >> 64) == 0) {
            const uint64_t divisor = d.low64();
            if (n_high == 0) {
                q.v_ = n.low64() / divisor;
                r.v_ = n.low64() % divisor;
                return;
            }
#if defined(__x86_64__)
            if (n_high < divisor) {
                // The quotient fits a word (the scaled numerator over its denominator always
                // does): one hardware division instead of two library calls.
                uint64_t quotient;
                uint64_t remainder;
                __asm__("divq %4" : "=a"(quotient), "=d"(remainder) : "a"(n.low64()), "d"(n_high), "r"(divisor));
                q.v_ = quotient;
                r.v_ = remainder;
                return;
            }
#endif
        }
        q.v_ = n.v_ / d.v_;
        r.v_ = n.v_ - q.v_ * d.v_;
    }
    size_t store_big_endian(uint8_t* out) const {
        const size_t len = (bit_length() + 7) / 8;
        for (size_t i = 0; i < len; ++i) out[i] = static_cast<uint8_t>(v_ >> (8 * (len - 1 - i)));
        return len;
    }
    void append_big_endian(ByteBuffer& out) const {
        uint8_t bytes[16];
        out.append(bytes, store_big_endian(bytes));
    }

private:
    UInt128 v_ = 0;
};

template <typename Nat>
void append_term(const Nat& term, bool complemented, ByteBuffer& out) {
    const size_t start = out.size();
    const size_t len = (term.bit_length() + 7) / 8;
    if (len == 1 && term.low64() <= kLargestOneByteTerm) {
        out.push_back(static_cast<uint8_t>(term.low64()));
    } else if (len <= kLongestShortTerm) {
        out.push_back(static_cast<uint8_t>(kLargestOneByteTerm + len));
        term.append_big_endian(out);
    } else {
        out.push_back(kLongTerm);
        out.push_back(static_cast<uint8_t>(len >> 8));
        out.push_back(static_cast<uint8_t>(len));
        term.append_big_endian(out);
    }
    if (complemented) {
        for (size_t i = start; i < out.size(); ++i) out[i] = static_cast<uint8_t>(~out[i]);
    }
}

// The fraction a / b, 0 < a < b, as its continued fraction (the layout in the header). Euclid's
// quotients are the terms, and they are the same for a / b and any multiple of it.
template <typename Nat>
void append_fraction(const Nat& a, const Nat& b, ByteBuffer& out) {
    out.push_back(kFractionMark);
    Nat values[3] = {a, b, Nat()};
    Nat term;
    Nat* num = &values[0];
    Nat* den = &values[1];
    Nat* rem = &values[2];
    bool odd = true;
    while (!num->is_zero()) {
        Nat::divide(*den, *num, term, *rem);
        append_term(term, odd, out);
        Nat* const next_num = rem;
        rem = den;
        den = num;
        num = next_num;
        odd = !odd;
    }
    out.push_back(odd ? kEndOfOddTerms : kEndOfEvenTerms);
}

template <typename Nat>
void append_int(bool negative, const Nat& magnitude, ByteBuffer& out) {
    uint8_t digits[BigNat::kMaxBits / 8];
    const size_t len = magnitude.store_big_endian(digits);
    append_number_magnitude(negative, Bytes(digits, len), out);
}

// |x| = num / den below 2^53 and no integer: the anchor is a double whose last place is
// 2^-scale, found as m = floor(|x| * 2^scale) with 53 significant bits (fewer among the
// subnormals), and the excess in units of that last place is a fraction of den.
template <typename Nat>
void append_below_integer_doubles(bool negative, const Nat& num, const Nat& den, ByteBuffer& out) {
    const long k = static_cast<long>(num.bit_length()) - static_cast<long>(den.bit_length());
    long scale = std::min(53 - k, kSubnormalScale);  // 2^(k-1) < |x| < 2^(k+1)
    TR_CHECK(scale >= 0);
    Nat scaled = num;
    scaled.shift_left(static_cast<size_t>(scale));
    Nat m;
    Nat rem;
    Nat::divide(scaled, den, m, rem);
    Nat unit = den;
    uint64_t mantissa = m.low64();
    TR_CHECK(m.bit_length() <= 54);
    if (mantissa >> 53 != 0) {
        // One scale too many: halve, and the bit shifted out joins the fraction.
        if ((mantissa & 1) != 0) rem.add(unit);
        unit.shift_left(1);
        mantissa >>= 1;
        --scale;
    }
    if (rem.is_zero()) {
        const double exact = std::ldexp(static_cast<double>(mantissa), static_cast<int>(-scale));
        append_number_f64(negative ? -exact : exact, out);
        return;
    }
    if (!negative) {
        append_number_f64(std::ldexp(static_cast<double>(mantissa), static_cast<int>(-scale)), out);
        append_fraction(rem, unit, out);
        return;
    }
    // The anchor is one last place further from zero, and the excess is measured up from it.
    append_number_f64(-std::ldexp(static_cast<double>(mantissa + 1), static_cast<int>(-scale)), out);
    Nat up = unit;
    up.subtract(rem);
    append_fraction(up, unit, out);
}

template <typename Nat>
void append_ratio(bool negative, const Nat& num, const Nat& den, ByteBuffer& out) {
    Nat whole;
    Nat rem;
    Nat::divide(num, den, whole, rem);
    if (rem.is_zero()) {
        append_int(negative, whole, out);
        return;
    }
    if (whole.bit_length() < kIntegerDoublesBits) {
        append_below_integer_doubles(negative, num, den, out);
        return;
    }
    // Every double around x is an integer, so x's anchor and the integer part of its excess
    // are those of the integer just below it: floor(x), or -(floor(|x|) + 1) for a negative x,
    // above which x lies by 1 - rem / den.
    if (!negative) {
        append_int(false, whole, out);
        append_fraction(rem, den, out);
        return;
    }
    whole.add(Nat(1));
    append_int(true, whole, out);
    Nat up = den;
    up.subtract(rem);
    append_fraction(up, den, out);
}

}  // namespace

void append_number_ratio(bool negative, const BigNat& num, const BigNat& den, ByteBuffer& out) {
    if (num.bit_length() <= 64 && den.bit_length() <= 64) {
        append_ratio(negative, SmallNat(num.low64()), SmallNat(den.low64()), out);
    } else {
        append_ratio(negative, num, den, out);
    }
}

void append_number_decimal(bool negative, const BigNat& coefficient, int exponent, ByteBuffer& out) {
    constexpr uint64_t kTenToThe19 = 10'000'000'000'000'000'000u;
    const int power = std::abs(exponent);
    uint64_t rest = 1;
    for (int i = 0; i < power % 19; ++i) rest *= 10;
    if (coefficient.bit_length() <= 64 && power < 19) {
        // The common case in 128 bits: a coefficient * 10^exponent, or a ratio of two words.
        if (exponent >= 0) {
            append_ratio(negative, SmallNat(static_cast<UInt128>(coefficient.low64()) * rest), SmallNat(1), out);
        } else {
            append_ratio(negative, SmallNat(coefficient.low64()), SmallNat(rest), out);
        }
        return;
    }
    // coefficient * 10^exponent, or coefficient / 10^-exponent, 10^19 at a time.
    BigNat scaled = exponent >= 0 ? coefficient : BigNat(1);
    for (int i = 0; i < power / 19; ++i) scaled.mul_add(kTenToThe19, 0);
    scaled.mul_add(rest, 0);
    if (exponent >= 0) {
        append_ratio(negative, scaled, BigNat(1), out);
    } else {
        append_number_ratio(negative, coefficient, scaled, out);
    }
}

}  // namespace tessarune
