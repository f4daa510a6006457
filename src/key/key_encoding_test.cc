#include "key/key_encoding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace tessarune {
namespace {

using ByteVec = std::vector<uint8_t>;

template <typename F>
ByteVec encoded(F&& append) {
    ByteBuffer out;
    append(out);
    return ByteVec(out.begin(), out.end());
}

ByteVec key_i128(Int128 x) { return encoded([&](ByteBuffer& b) { append_number_i128(x, b); }); }
ByteVec key_f64(double x) { return encoded([&](ByteBuffer& b) { append_number_f64(x, b); }); }
ByteVec key_mag(bool negative, const ByteVec& m) {
    return encoded([&](ByteBuffer& b) { append_number_magnitude(negative, Bytes(m), b); });
}

// Big-endian magnitude of |x|, padded to `width` bytes.
ByteVec magnitude_of(Int128 x, size_t width = 20) {
    UInt128 u = x < 0 ? UInt128{0} - static_cast<UInt128>(x) : static_cast<UInt128>(x);
    ByteVec m(width, 0);
    for (size_t i = width; i-- > 0 && u != 0; u >>= 8) m[i] = static_cast<uint8_t>(u);
    return m;
}

// The magnitude of m * 2^s + r, r < 2^s given by its low bits `r_low` (s >= 64 here).
ByteVec magnitude_scaled(uint64_t m, size_t s, uint64_t r_low) {
    ByteVec out((53 + s + 7) / 8, 0);
    auto set_bit = [&](size_t bit) { out[out.size() - 1 - bit / 8] |= static_cast<uint8_t>(1u << (bit % 8)); };
    for (size_t i = 0; i < 64; ++i)
        if ((m >> i) & 1) set_bit(s + i);
    for (size_t i = 0; i < 64; ++i)
        if ((r_low >> i) & 1) set_bit(i);
    return out;
}

struct DecodedNumber {
    double anchor;
    UInt128 excess;
};

// Reads back a number key of at most 128 bits, the inverse of the anchor transform.
DecodedNumber decode_i128_key(const ByteVec& key) {
    EXPECT_GE(key.size(), 10u);
    EXPECT_EQ(key[0], TAG_NUMBER);
    uint64_t ordered = 0;
    for (int i = 1; i <= 8; ++i) ordered = (ordered << 8) | key[i];
    const uint64_t ieee = (ordered >> 63) ? ordered ^ (uint64_t{1} << 63) : ~ordered;
    const size_t len = key[9];
    EXPECT_EQ(key.size(), 10 + len);
    EXPECT_TRUE(len == 0 || key[10] != 0) << "leading zero in the excess";
    UInt128 excess = 0;
    for (size_t i = 0; i < len; ++i) excess = (excess << 8) | key[10 + i];
    return {std::bit_cast<double>(ieee), excess};
}

constexpr Int128 kI128Max = static_cast<Int128>(~UInt128{0} >> 1);
constexpr Int128 kI128Min = -kI128Max - 1;

// The anchor is the largest double not above x and the excess is exactly x - anchor.
void expect_floor_and_excess(Int128 x) {
    const DecodedNumber d = decode_i128_key(key_i128(x));
    ASSERT_TRUE(std::isfinite(d.anchor));
    ASSERT_EQ(d.anchor, std::floor(d.anchor));
    const auto anchor = static_cast<Int128>(d.anchor);
    EXPECT_LE(anchor, x);
    EXPECT_EQ(static_cast<UInt128>(x) - static_cast<UInt128>(anchor), d.excess);
    const double next = std::nextafter(d.anchor, INFINITY);
    if (next != std::floor(next)) {
        EXPECT_EQ(anchor, x);  // the next double is below anchor + 1
    } else if (next < 0x1p127) {
        EXPECT_GT(static_cast<Int128>(next), x);
    }
}

TEST(NumberKey, AnchorIsFloorAtConversionBoundaries) {
    std::vector<Int128> centres = {0, INT64_MAX, INT64_MIN, kI128Max, kI128Min};
    for (int k = 1; k < 127; ++k) centres.insert(centres.end(), {Int128{1} << k, -(Int128{1} << k)});
    // Around 2^k the conversion rounds at multiples of half a unit, 2^(k-53).
    std::vector<Int128> offsets;
    for (int d = -3; d <= 3; ++d) offsets.push_back(d);
    for (int j = 0; j < 76; ++j) {
        for (Int128 d : {Int128{1} << j, (Int128{1} << j) - 1, (Int128{1} << j) + 1}) {
            offsets.insert(offsets.end(), {d, -d});
        }
    }
    for (Int128 c : centres) {
        for (Int128 d : offsets) {
            const auto x = static_cast<Int128>(static_cast<UInt128>(c) + static_cast<UInt128>(d));
            if ((d > 0 && x < c) || (d < 0 && x > c)) continue;  // wrapped around the range
            SCOPED_TRACE(static_cast<double>(x));
            expect_floor_and_excess(x);
        }
    }
}

TEST(NumberKey, AnchorIsFloorForRandomValues) {
    const uint64_t seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 200000; ++i) {
        const auto x = static_cast<Int128>((static_cast<UInt128>(rng()) << 64) | rng());
        expect_floor_and_excess(x >> (rng() % 128));
    }
}

TEST(NumberKey, MagnitudeAgreesWithI128WhereBothApply) {
    const uint64_t seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
    std::vector<Int128> values = {0, 1, -1, kI128Max, kI128Min, kI128Min + 1, INT64_MIN, INT64_MAX};
    for (int i = 0; i < 20000; ++i) {
        const auto x = static_cast<Int128>((static_cast<UInt128>(rng()) << 64) | rng());
        values.push_back(x >> (rng() % 128));
    }
    for (Int128 x : values) {
        SCOPED_TRACE(static_cast<double>(x));
        EXPECT_EQ(key_mag(x < 0, magnitude_of(x)), key_i128(x));
        EXPECT_EQ(key_mag(x < 0, magnitude_of(x, 16)), key_i128(x));
    }
    EXPECT_EQ(key_mag(true, {}), key_i128(0));
    EXPECT_EQ(key_mag(true, ByteVec(40, 0)), key_i128(0));
}

TEST(NumberKey, MagnitudeSeamAt2To127) {
    ByteVec two127(16, 0);
    two127[0] = 0x80;
    ByteVec two127_plus1 = two127;
    two127_plus1[15] = 1;
    EXPECT_EQ(key_mag(false, two127), key_f64(0x1p127));
    EXPECT_LT(key_i128(kI128Max), key_mag(false, two127));
    EXPECT_LT(key_mag(false, two127), key_mag(false, two127_plus1));
    EXPECT_LT(key_mag(false, two127_plus1), key_f64(std::nextafter(0x1p127, INFINITY)));
    EXPECT_EQ(key_mag(true, two127), key_i128(kI128Min));
    EXPECT_LT(key_mag(true, two127_plus1), key_i128(kI128Min));
    EXPECT_GT(key_mag(true, two127_plus1), key_f64(std::nextafter(-0x1p127, -INFINITY)));
}

TEST(NumberKey, WideMagnitudesOfDoublesAndTheirNeighbours) {
    const uint64_t seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 5000; ++i) {
        const uint64_t m = (uint64_t{1} << 52) | (rng() & ((uint64_t{1} << 52) - 1));
        const size_t s = 75 + rng() % (971 - 75 + 1);
        const uint64_t r1 = 1 + rng() % 1000;
        const uint64_t r2 = r1 + 1 + rng() % 1000;
        const double value = std::ldexp(static_cast<double>(m), static_cast<int>(s));
        SCOPED_TRACE(::testing::Message() << "m " << m << " s " << s);
        EXPECT_EQ(key_mag(false, magnitude_scaled(m, s, 0)), key_f64(value));
        EXPECT_EQ(key_mag(true, magnitude_scaled(m, s, 0)), key_f64(-value));
        // Above a positive anchor the excess is the remainder itself.
        ByteVec expected = key_f64(value);
        expected.pop_back();
        expected.push_back(r1 < 256 ? 1 : 2);
        if (r1 >= 256) expected.push_back(static_cast<uint8_t>(r1 >> 8));
        expected.push_back(static_cast<uint8_t>(r1));
        EXPECT_EQ(key_mag(false, magnitude_scaled(m, s, r1)), expected);
        // Below a negative double the anchor is the next double down, approached from above.
        const ByteVec neg1 = key_mag(true, magnitude_scaled(m, s, r1));
        const ByteVec neg2 = key_mag(true, magnitude_scaled(m, s, r2));
        EXPECT_LT(neg2, neg1);
        EXPECT_LT(neg1, key_f64(-value));
        EXPECT_GT(neg2, key_f64(std::nextafter(-value, -INFINITY)));
    }
}

TEST(UintField, LengthPrefixAndLongForm) {
    auto field = [](const ByteVec& digits) {
        return encoded([&](ByteBuffer& b) { append_uint_field(Bytes(digits), b); });
    };
    EXPECT_EQ(field({}), ByteVec{0});
    EXPECT_EQ(field({0, 0, 0}), ByteVec{0});
    EXPECT_EQ(field({0, 7}), (ByteVec{1, 7}));

    ByteVec d254(300, 0x5A);
    std::fill(d254.begin(), d254.begin() + 46, 0);
    ByteVec f254 = field(d254);
    ASSERT_EQ(f254.size(), 255u);
    EXPECT_EQ(f254[0], 254);

    const ByteVec d255(255, 0x01);
    const ByteVec f255 = field(d255);
    ASSERT_EQ(f255.size(), 1 + 8 + 255u);
    EXPECT_EQ(ByteVec(f255.begin(), f255.begin() + 9), (ByteVec{0xFF, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
    const ByteVec f70000 = field(ByteVec(70000, 0x01));
    EXPECT_EQ(ByteVec(f70000.begin(), f70000.begin() + 9), (ByteVec{0xFF, 0, 0, 0, 0, 0, 0x01, 0x11, 0x70}));
    // Larger numbers never sort below smaller ones, across the change of form.
    EXPECT_LT(f254, f255);
    EXPECT_LT(f255, field(ByteVec(256, 0x01)));
    EXPECT_LT(field(ByteVec(255, 0xFF)), field(ByteVec(256, 0x01)));
}

TEST(Escaped, MatchesSimpleEscapingAndKeepsEarlierBytes) {
    const uint64_t seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 2000; ++i) {
        ByteVec raw(rng() % (i < 1000 ? 20 : 5000));
        const uint64_t zero_odds = 1 + rng() % 4;
        for (auto& b : raw) b = rng() % zero_odds == 0 ? 0 : static_cast<uint8_t>(rng());
        ByteVec expected = {0xAB, TAG_BYTES};
        for (uint8_t b : raw) {
            expected.push_back(b);
            if (b == 0) expected.push_back(0xFF);
        }
        expected.insert(expected.end(), {0, 0});
        ByteBuffer out;
        out.push_back(0xAB);
        append_escaped(TAG_BYTES, Bytes(raw), out);
        ASSERT_EQ(ByteVec(out.begin(), out.end()), expected);
    }
}

}  // namespace
}  // namespace tessarune
