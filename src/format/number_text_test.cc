#include "format/number_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace tessarune::format {
namespace {

Bytes bytes_of(std::string_view s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
std::string text_of(Bytes b) { return std::string(b.begin(), b.end()); }

TEST(ReadNumberText, RefusesWhatIsNotANumber) {
    EXPECT_EQ(read_number_text(bytes_of("")).kind, NumberTextKind::Empty);
    EXPECT_EQ(read_number_text(bytes_of(" \t ")).kind, NumberTextKind::Empty);
    const char* const texts[] = {"abc", "nan", "NaN", "inf", "-infinity", "1_000", "1,5", "--1", "+-1", "+", "-",
                                 ".", "-.", "1e", "1e+", "e5", ".e5", "0x10", "1.5.3", "1 2", "1e5.5", "١",
                                 "1\n", "\v1", "5%"};
    for (const char* text : texts) {
        EXPECT_EQ(read_number_text(bytes_of(text)).kind, NumberTextKind::NotANumber) << "'" << text << "'";
        DecimalIntKey ints;
        ByteBuffer out;
        EXPECT_FALSE(append_number_text_key(bytes_of(text), ints, out)) << "'" << text << "'";
        EXPECT_TRUE(out.empty());
    }
}

// Random texts of the cell grammar: ints must come back as their digits, floats as glibc's
// strtod reads them (correctly rounded, as Python's float() is).
TEST(ReadNumberText, ReadsRandomNumbersAsStrtodDoes) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto digits = [&](int count) {
        std::string s;
        for (int i = 0; i < count; ++i) s += static_cast<char>('0' + (pick(0, 2) == 0 ? pick(0, 1) * 9 : pick(0, 9)));
        return s;
    };
    for (int i = 0; i < 50000; ++i) {
        std::string number = std::string(pick(0, 2) == 0 ? "" : pick(0, 1) == 0 ? "+" : "-");
        const int whole = pick(0, 3) == 0 ? pick(20, 400) : pick(0, 20);
        number += digits(whole);
        const bool point = pick(0, 1) == 0 || whole == 0;
        if (point) number += "." + digits(whole == 0 ? pick(1, 30) : pick(0, 30));
        const bool exponent = pick(0, 2) == 0;
        if (exponent) {
            number += "eE"[pick(0, 1)];
            number += std::string(pick(0, 2) == 0 ? "" : pick(0, 1) == 0 ? "+" : "-");
            number += pick(0, 4) == 0 ? digits(pick(1, 25)) : std::to_string(pick(0, 330));
        }
        const std::string cell = std::string(static_cast<size_t>(pick(0, 2)), ' ') + number + "\t";

        const TextNumber got = read_number_text(bytes_of(cell));
        ASSERT_EQ(text_of(got.text), number);
        if (!point && !exponent) {
            ASSERT_EQ(got.kind, NumberTextKind::Int) << cell;
            EXPECT_EQ(got.negative, number[0] == '-') << cell;
            std::string expected = number.substr(number.find_first_not_of("+-"));
            expected.erase(0, std::min(expected.find_first_not_of('0'), expected.size() - 1));
            EXPECT_EQ(text_of(got.digits), expected) << cell;
        } else {
            ASSERT_EQ(got.kind, NumberTextKind::Float) << cell;
            const double expected = std::strtod(number.c_str(), nullptr);
            EXPECT_EQ(std::memcmp(&got.value, &expected, sizeof expected), 0)
                << cell << ": " << got.value << " vs " << expected;
        }
    }
}

std::string key_of(std::string_view cell) {
    DecimalIntKey ints;
    ByteBuffer out;
    EXPECT_TRUE(append_number_text_key(bytes_of(cell), ints, out)) << cell;
    return std::string(out.begin(), out.end());
}

// Ints and floats order by value as Python compares them, whatever way the cell writes them.
TEST(AppendNumberTextKey, OrdersIntsAndFloatsByValue) {
    const std::string huge = "1" + std::string(400, '0');  // beyond the largest double
    // Ascending groups; the cells within one group are the same number.
    const std::vector<std::vector<std::string>> groups = {
        {"-1e400", "-1E999"},
        {"-" + huge},
        {"-1.7976931348623157e308"},
        {"-18446744073709551617"},
        {"-18446744073709551616", "-1.8446744073709551616e19"},
        {"-1.5", "-1.50", "-15e-1"},
        {"-1", "-1.0", "-01", "-1."},
        {"-1e-400", "0", "-0", "+0", "0.0", ".0e5", "1e-400", "000"},
        {"4.9e-324", "5e-324"},
        {"0.5", ".5", "+.5", "5e-1", "5.e-1"},
        {"1", "1.0", "1.", "+1", "01", " 1 ", "\t1e0"},
        // 2^53 + 1 is no double: as a float it rounds to 2^53, as an int it stays above.
        {"9007199254740992", "9007199254740992.0", "9007199254740993.0"},
        {"9007199254740993"},
        {"18446744073709551615"},
        {"18446744073709551616", "1.8446744073709551616e19"},
        {"1.7976931348623157e308"},
        {huge, "0" + huge},
        {huge + "1"},
        {"1e400", "1E999"},
    };
    std::vector<std::string> previous;
    for (const auto& group : groups) {
        const std::string first = key_of(group.front());
        for (const std::string& cell : group) EXPECT_EQ(key_of(cell), first) << "'" << cell << "'";
        for (const std::string& lower : previous) EXPECT_LT(lower, first) << "below '" << group.front() << "'";
        previous.push_back(first);
    }
}

}  // namespace
}  // namespace tessarune::format
