#include "key/rational_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "key/big_nat.h"
#include "key/key_compare.h"
#include "key/key_encoding.h"

namespace tessarune {
namespace {

using ByteVec = std::vector<uint8_t>;

ByteVec be_bytes(const BigNat& n) {
    ByteBuffer out;
    n.append_big_endian(out);
    return ByteVec(out.begin(), out.end());
}

BigNat from_bytes(const ByteVec& b) { return BigNat::from_big_endian(Bytes(b.data(), b.size())); }

// a * b, one byte of b at a time, from the operations under test that division does not use.
BigNat product(const BigNat& a, const BigNat& b) {
    BigNat p;
    for (uint8_t byte : be_bytes(b)) {
        p.mul_add(256, 0);
        BigNat part = a;
        part.mul_add(byte, 0);
        p.add(part);
    }
    return p;
}

void expect_division(const BigNat& n, const BigNat& d) {
    BigNat q;
    BigNat r;
    BigNat::divide(n, d, q, r);
    ASSERT_LT(r.compare(d), 0);
    BigNat back = product(q, d);
    back.add(r);
    ASSERT_EQ(back.compare(n), 0) << "n of " << n.bit_length() << " bits, d of " << d.bit_length();
}

TEST(BigNat, DivisionRebuildsTheDividend) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    // Runs of 00 and FF bytes make the quotient estimates land on their corrections.
    auto random_bytes = [&](size_t n) {
        ByteVec b(n);
        for (auto& x : b) {
            const uint64_t pick = rng() % 4;
            x = pick == 0 ? 0x00 : pick == 1 ? 0xFF : static_cast<uint8_t>(rng());
        }
        return b;
    };
    for (int i = 0; i < 3000; ++i) {
        const BigNat n = from_bytes(random_bytes(1 + rng() % 300));
        BigNat d = from_bytes(random_bytes(1 + rng() % 120));
        if (d.is_zero()) d = BigNat(1);
        expect_division(n, d);
    }
    // The two-limb case that needs the final add-back (Knuth's D6), and a one-limb divisor.
    expect_division(from_bytes(ByteVec{0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}),
                    from_bytes(ByteVec{0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    expect_division(from_bytes(random_bytes(200)), BigNat(7));
}

ByteVec ratio_key(bool negative, const BigNat& num, const BigNat& den) {
    ByteBuffer out;
    append_number_ratio(negative, num, den, out);
    return ByteVec(out.begin(), out.end());
}

TEST(RationalKey, SmallAndLargeArithmeticAgree) {
    // n / d with both below 2^64 takes 128-bit arithmetic; n * 2^70 / (d * 2^70), the same value,
    // the general one. Their bytes must not differ.
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 20000; ++i) {
        const uint64_t n = rng() >> (rng() % 64);
        const uint64_t d = std::max<uint64_t>(1, rng() >> (rng() % 64));
        const bool negative = (rng() & 1) != 0;
        BigNat big_n(n);
        BigNat big_d(d);
        big_n.shift_left(70);
        big_d.shift_left(70);
        ASSERT_EQ(ratio_key(negative, BigNat(n), BigNat(d)), ratio_key(negative, big_n, big_d)) << n << "/" << d;
    }
}

TEST(RationalKey, ReversedKeysReverseTheOrderAroundPrefixes) {
    // 2^60 and 2^60 + 1/3: the int's key is a proper prefix of the rational's.
    BigNat n(1);
    n.shift_left(60);
    const ByteVec whole = ratio_key(false, n, BigNat(1));
    BigNat third = n;
    third.mul_add(3, 1);
    const ByteVec above = ratio_key(false, third, BigNat(3));
    ASSERT_TRUE(std::equal(whole.begin(), whole.end(), above.begin()));
    auto reversed = [](const ByteVec& k) {
        ByteBuffer b;
        b.append(k.data(), k.size());
        reverse_key(b);
        return ByteVec(b.begin(), b.end());
    };
    const ByteVec r_whole = reversed(whole);
    const ByteVec r_above = reversed(above);
    EXPECT_GT(compare_keys(Bytes(r_whole.data(), r_whole.size()), Bytes(r_above.data(), r_above.size())), 0);
}

}  // namespace
}  // namespace tessarune
