#include "format/timestamp_key.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace tessarune::format {

// For failure messages.
void PrintTo(const Instant& instant, std::ostream* os) { *os << instant.seconds << "s+" << instant.nanos << "ns"; }

namespace {

Bytes bytes_of(std::string_view s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

// Seconds of 0001-01-01T00:00:00Z and of 9999-12-31T23:59:59Z.
constexpr int64_t kFirst = -62135596800;
constexpr int64_t kLast = 253402300799;

TEST(ParseTimestamp, ReadsKnownInstants) {
    struct Case {
        const char* text;
        int64_t seconds;
        uint32_t nanos;
    };
    const Case cases[] = {
        {"1970-01-01T00:00:00Z", 0, 0},
        {"1970-01-01", 0, 0},
        {" \t1970-01-01 00:00\t ", 0, 0},
        {"1970-01-01t00:00:01z", 1, 0},
        {"2000-02-29", 951782400, 0},
        {"2000-03-01T00:00:00+00:00", 951868800, 0},
        {"2024-02-29T12:34:56.789Z", 1709210096, 789000000},
        {"2009-02-13T23:31:30Z", 1234567890, 0},
        {"1969-12-31T23:59:59.5Z", -1, 500000000},
        {"1970-01-01T00:00:00.000000001", 0, 1},
        // Digits past the ninth are dropped, not rounded.
        {"1970-01-01T00:00:00.9999999999999", 0, 999999999},
        {"1999-12-31T23:59:59.999999999999-00:30", 946686599, 999999999},
        // Across the date line: the same instant written three ways.
        {"2020-01-01T00:00:00+14:00", 1577786400, 0},
        {"2019-12-31T10:00:00Z", 1577786400, 0},
        {"2019-12-30T23:00-1100", 1577786400, 0},
        {"2019-12-31T05:30+0530", 1577750400, 0},
        {"2019-12-31T05:30+05", 1577752200, 0},
        {"0001-01-01", kFirst, 0},
        {"0001-01-01T00:00:00-00:59", kFirst + 59 * 60, 0},
        {"9999-12-31T23:59:59.999999999Z", kLast, 999999999},
        {"9999-12-31T23:59:59+23:59", kLast - (23 * 3600 + 59 * 60), 0},
    };
    for (const Case& c : cases) {
        const std::optional<Instant> got = parse_timestamp(c.text);
        ASSERT_TRUE(got.has_value()) << c.text;
        EXPECT_EQ(*got, (Instant{c.seconds, c.nanos})) << c.text;
    }
}

TEST(ParseTimestamp, RefusesWhatIsNotATimestamp) {
    const char* const texts[] = {
        "", "   ", "yesterday", "2001-02-29", "1900-02-29", "2000-02-30", "2000-04-31", "2000-13-01",
        "2000-00-10", "2000-01-00", "0000-12-31", "10000-01-01", "200-01-01", "2000-1-01", "2000/01/01",
        "2000-01-01T", "2000-01-01T1:00", "2000-01-01T24:00", "2000-01-01T23:60", "2000-01-01T23:59:60",
        "2000-01-01T12", "2000-01-01T12:00:00.", "2000-01-01T12:00.5", "2000-01-01  12:00",
        "2000-01-01T12:00 Z", "2000-01-01Z", "2000-01-01T12:00+24:00", "2000-01-01T12:00+01:60",
        "2000-01-01T12:00+1", "2000-01-01T12:00+013", "2000-01-01T12:00+01:", "2000-01-01T12:00ZZ",
        "2000-01-01T12:00:00,5", "+2000-01-01", "2000-01-01x", "\n2000-01-01",
        // Instants outside years 0001-9999 once the offset is applied.
        "0001-01-01T00:00:00+01:00", "9999-12-31T23:30:00-01:00",
    };
    for (const char* text : texts) EXPECT_FALSE(parse_timestamp(text).has_value()) << "'" << text << "'";
}

// glibc's timegm, which covers years 1-9999 with a 64-bit time_t, is the oracle for random
// texts: for the instant, and for whether the date exists (it moves February 30 on to March).
TEST(ParseTimestamp, AgreesWithTheCLibraryOnRandomTexts) {
    static_assert(sizeof(time_t) == 8);
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int valid = 0;
    for (int i = 0; i < 20000; ++i) {
        // A quarter of the years are centuries, where leap years are the exception.
        const int year = pick(0, 3) == 0 ? pick(0, 99) * 100 : pick(1, 9999);
        const int month = pick(1, 12);
        const int day = pick(0, 3) == 0 ? pick(28, 31) : pick(1, 31);
        const int form = pick(0, 4);  // date; +HH:MM; +:SS; +.F; +:SS and an offset
        const int hour = form == 0 ? 0 : pick(0, 23);
        const int minute = form == 0 ? 0 : pick(0, 59);
        const int second = form < 2 ? 0 : pick(0, 59);
        const uint32_t nanos = form == 3 ? static_cast<uint32_t>(pick(0, 999999999)) : 0;

        char text[80];
        int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        if (form >= 1) n += std::snprintf(text + n, sizeof text - n, "%c%02d:%02d", "Tt "[pick(0, 2)], hour, minute);
        if (form >= 2) n += std::snprintf(text + n, sizeof text - n, ":%02d", second);
        // Digits past the ninth are ignored.
        if (form == 3) n += std::snprintf(text + n, sizeof text - n, ".%09u%.*s", nanos, pick(0, 3), "789");
        int offset = 0;
        if (form >= 3) {
            const int sign = pick(0, 1) == 0 ? 1 : -1;
            const int hours = pick(0, 23);
            const int minutes = pick(0, 59);
            const char sign_char = sign > 0 ? '+' : '-';
            switch (pick(0, 3)) {
                case 0:
                    std::snprintf(text + n, sizeof text - n, "%c%02d:%02d", sign_char, hours, minutes);
                    offset = sign * (hours * 3600 + minutes * 60);
                    break;
                case 1:
                    std::snprintf(text + n, sizeof text - n, "%c%02d%02d", sign_char, hours, minutes);
                    offset = sign * (hours * 3600 + minutes * 60);
                    break;
                case 2:
                    std::snprintf(text + n, sizeof text - n, "%c%02d", sign_char, hours);
                    offset = sign * hours * 3600;
                    break;
                default:
                    std::snprintf(text + n, sizeof text - n, "%c", "Zz"[pick(0, 1)]);
                    break;
            }
        }

        std::tm tm{};
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        const time_t wall = timegm(&tm);  // normalises tm: a day that does not exist moves on
        const bool date_exists = year >= 1 && tm.tm_mday == day;
        const int64_t expected = static_cast<int64_t>(wall) - offset;

        const std::optional<Instant> got = parse_timestamp(text);
        if (!date_exists || expected < kFirst || expected > kLast) {
            EXPECT_FALSE(got.has_value()) << text;
            continue;
        }
        ++valid;
        ASSERT_TRUE(got.has_value()) << text;
        EXPECT_EQ(*got, (Instant{expected, nanos})) << text;
    }
    EXPECT_GT(valid, 15000);
}

TEST(InstantFromEpoch, ReadsIntsOfAnyLengthWithinTheYears) {
    auto read = [](bool negative, std::string_view digits) { return instant_from_epoch_int(negative, bytes_of(digits)); };
    EXPECT_EQ(read(false, "1234567890"), (Instant{1234567890, 0}));
    EXPECT_EQ(read(true, "0"), (Instant{0, 0}));
    EXPECT_EQ(read(false, "00000000000000000000000042"), (Instant{42, 0}));
    EXPECT_EQ(read(true, "62135596800"), (Instant{kFirst, 0}));
    EXPECT_EQ(read(false, "253402300799"), (Instant{kLast, 0}));
    EXPECT_FALSE(read(true, "62135596801"));
    EXPECT_FALSE(read(false, "253402300800"));
    EXPECT_FALSE(read(false, "999999999999"));
    EXPECT_FALSE(read(false, "9223372036854775808"));  // would wrap an int64 to its minimum
    EXPECT_FALSE(read(true, "184467440737095516160000"));
    EXPECT_EQ(instant_from_epoch_int64(kFirst), (Instant{kFirst, 0}));
    EXPECT_FALSE(instant_from_epoch_int64(kLast + 1));
    EXPECT_FALSE(instant_from_epoch_int64(INT64_MIN));
}

// Expected values are what Python gives for math.floor(x) and round((x - math.floor(x)) * 1e9).
TEST(InstantFromEpoch, SplitsDoublesAsPythonDoes) {
    struct Case {
        double x;
        int64_t seconds;
        uint32_t nanos;
    };
    const Case cases[] = {
        {1.5, 1, 500000000},
        {-1.5, -2, 500000000},
        {-0.1, -1, 900000000},
        {-0.0, 0, 0},
        {-1e-20, 0, 0},  // the fraction rounds to 1e9 and carries
        {1e-20, 0, 0},
        {1.0000000005, 1, 1},
        {1700000000.1234567, 1700000000, 123456717},
        {2.5e-09, 0, 2},  // halves go to even
        {0.6347461605, 0, 634746160},
        {0.1442725095, 0, 144272510},
        {-62135596800.0, kFirst, 0},
        {253402300799.9999, kLast, 999908447},
    };
    for (const Case& c : cases) {
        const std::optional<Instant> got = instant_from_epoch_double(c.x);
        ASSERT_TRUE(got.has_value()) << c.x;
        EXPECT_EQ(*got, (Instant{c.seconds, c.nanos})) << c.x;
    }
    const double refused[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), std::nextafter(-62135596800.0, -1e300),
                              253402300800.0, 1e300, -1e300};
    for (double x : refused) EXPECT_FALSE(instant_from_epoch_double(x).has_value()) << x;
}

TEST(InstantFromEpoch, ReadsCellsThatAreNumbers) {
    auto read = [](std::string_view cell) { return instant_from_number_text(read_number_text(bytes_of(cell))); };
    EXPECT_EQ(read(" +0001234567890 "), (Instant{1234567890, 0}));
    EXPECT_EQ(read("-1.5"), (Instant{-2, 500000000}));
    EXPECT_EQ(read("1.23456789e9"), (Instant{1234567890, 0}));
    EXPECT_FALSE(read(""));
    EXPECT_FALSE(read("2020-01-01"));
    EXPECT_FALSE(read("1e12"));
}

std::string key_of(Instant instant) {
    ByteBuffer out;
    append_instant(instant, out);
    return std::string(out.begin(), out.end());
}

TEST(AppendInstant, WritesTwelveBytesThatOrderAsTheInstants) {
    EXPECT_EQ(key_of({0, 0}), std::string("\x80\0\0\0\0\0\0\0\0\0\0\0", 12));
    EXPECT_EQ(key_of({-1, 999999999}), std::string("\x7f\xff\xff\xff\xff\xff\xff\xff\x3b\x9a\xc9\xff", 12));

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int64_t> wide(kFirst, kLast);
    std::uniform_int_distribution<int64_t> near_zero(-300, 300);
    std::uniform_int_distribution<uint32_t> nanos(0, 999999999);
    auto random_instant = [&] {
        const int64_t seconds = rng() % 2 == 0 ? wide(rng) : near_zero(rng);
        return Instant{seconds, rng() % 4 == 0 ? static_cast<uint32_t>(rng() % 3) : nanos(rng)};
    };
    for (int i = 0; i < 100000; ++i) {
        const Instant a = random_instant();
        const Instant b = rng() % 8 == 0 ? Instant{a.seconds, nanos(rng)} : random_instant();
        const std::string ka = key_of(a);
        const std::string kb = key_of(b);
        ASSERT_EQ(ka.size(), kInstantKeySize);
        const int by_bytes = std::memcmp(ka.data(), kb.data(), kInstantKeySize);
        const bool less = a.seconds < b.seconds || (a.seconds == b.seconds && a.nanos < b.nanos);
        ASSERT_EQ(by_bytes < 0, less) << a.seconds << "." << a.nanos << " vs " << b.seconds << "." << b.nanos;
        ASSERT_EQ(by_bytes == 0, a == b);
    }
}

}  // namespace
}  // namespace tessarune::format
