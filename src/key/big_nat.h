// A non-negative integer of at most BigNat::kMaxBits bits, held inline: the exact arithmetic of
// rational keys (rational_key.h) without an allocation per key.
//
// The callers bound their inputs so that no result can exceed the capacity (the limits of
// Decimal and Fraction keys); an operation that would is a broken invariant (TR_CHECK).
// Copies move only the limbs in use, so small values cost what small values should.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/growable_array.h"

namespace tessarune {

class BigNat {
public:
    static constexpr size_t kMaxBits = 8192;
    static constexpr size_t kMaxLimbs = kMaxBits / 64;

    BigNat() = default;
    explicit BigNat(uint64_t value) {
        if (value != 0) {
            limbs_[0] = value;
            size_ = 1;
        }
    }
    BigNat(const BigNat& o);
    BigNat& operator=(const BigNat& o);

    // The integer whose big-endian bytes are `digits` (leading zeros allowed).
    // REQUIRES: at most kMaxBits significant bits.
    static BigNat from_big_endian(Bytes digits);

    bool is_zero() const { return size_ == 0; }
    size_t bit_length() const;
    // The low 64 bits.
    uint64_t low64() const { return size_ == 0 ? 0 : limbs_[0]; }
    // <0, 0, >0.
    int compare(const BigNat& o) const;

    // *this = *this * mul + add.
    void mul_add(uint64_t mul, uint64_t add);
    void shift_left(size_t bits);
    void add(const BigNat& o);
    // REQUIRES: *this >= o.
    void subtract(const BigNat& o);

    // q = n / d, r = n % d. REQUIRES: d nonzero; q and r are distinct from n and d.
    static void divide(const BigNat& n, const BigNat& d, BigNat& q, BigNat& r);

    // The big-endian bytes without leading zeros (none for zero): written to `out`, which has
    // room for kMaxBits / 8 bytes, returning their count; or appended to `out`.
    size_t store_big_endian(uint8_t* out) const;
    void append_big_endian(ByteBuffer& out) const;

private:
    void trim();

    uint32_t size_ = 0;            // limbs in use; the top one is nonzero
    uint64_t limbs_[kMaxLimbs];    // least significant first; those past size_ are unset
};

}  // namespace tessarune
