#include "format/number_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tessarune::format {
namespace {

std::string number_key(std::string_view text, bool zero_terminated = false) {
    const Bytes bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ByteBuffer out;
    if (zero_terminated) {
        append_number_key(bytes, is_zline_blank, out);
    } else {
        append_number_key(bytes, is_line_blank, out);
    }
    return std::string(out.begin(), out.end());
}

// Compared as unsigned bytes, as the engine compares keys.
int compare(const std::string& a, const std::string& b) {
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

TEST(NumberKey, OrdersNumbersAndIsPrefixFree) {
    // Ascending groups; texts within one group are the same number.
    const std::vector<std::vector<std::string_view>> groups = {
        {"-100"}, {"-99.5", "-099.50"}, {"-99.05"}, {"-99"}, {"-10"}, {"-9.99"}, {"-1"},
        {"-0.5", "-.5"}, {"-0.05"},
        {"0", "-0", "", "-", ".", "-.", "abc", "+5", "-0.000", "000", " \t", "\xd9\xa1"},
        {"0.001", ".001"}, {"0.1"}, {"1", "1.", "01", "1.000", "  1", "1e5", "1,5", "1x"},
        {"1.05"}, {"1.5", "1.5.3"}, {"9"}, {"10"}, {"99"}, {"100", "00100.0"},
        {"123456789012345678901234567890"},
    };
    std::vector<std::string> previous;
    for (const auto& group : groups) {
        const std::string first = number_key(group.front());
        for (std::string_view text : group) EXPECT_EQ(number_key(text), first) << "'" << text << "'";
        for (const std::string& lower : previous) {
            EXPECT_LT(compare(lower, first), 0) << "below '" << group.front() << "'";
            // Prefix-free, so that a key followed by the next field's bytes compares as a tuple.
            EXPECT_NE(first.compare(0, lower.size(), lower), 0) << "prefix of '" << group.front() << "'";
        }
        previous.push_back(first);
    }
}

TEST(NumberKey, NewlineIsLeadingBlankOnlyForZeroEndedLines) {
    EXPECT_EQ(number_key("\n5"), number_key("0"));
    EXPECT_EQ(number_key("\n5", true), number_key("5"));
    EXPECT_EQ(number_key(" \t\n-5", true), number_key("-5"));
    // A blank after the sign ends the number.
    EXPECT_EQ(number_key("- 5"), number_key("0"));
}

}  // namespace
}  // namespace tessarune::format

namespace tessarune::format {
namespace {

// Readings of numbers with a thousands separator, as the traditional command gives them in
// en_US.UTF-8 (',' separates thousands) and de_DE.UTF-8 (',' is the decimal point).
TEST(NumberKey, ReadsALocalesSeparatorAndPoint) {
    const NumberSyntax en{'.', ','};
    const NumberSyntax de{',', '.'};
    auto read = [](std::string_view text, const NumberSyntax& syntax) {
        ByteBuffer digits;
        const NumberText n = read_number(Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                                         is_line_blank, syntax, digits);
        std::string s = n.negative ? "-" : "";
        s.append(n.whole.begin(), n.whole.end());
        s += ".";
        s.append(n.fraction.begin(), n.fraction.end());
        return s + "@" + std::to_string(n.end);
    };
    EXPECT_EQ(read("1,,2", en), "12.@1");      // separators after a digit are dropped; a unit
                                               // may follow only where one stands between digits
    EXPECT_EQ(read(",5", en), "5.@0");         // and before the first; no unit may follow there
    EXPECT_EQ(read("0,0,7", en), "7.@5");
    EXPECT_EQ(read("1,.5", en), "1.5@1");      // the unit would follow "1"
    EXPECT_EQ(read("1.5,1", en), "1.5@3");     // none in the fraction
    EXPECT_EQ(read("-,5", en), "-5.@1");
    EXPECT_EQ(read("0,2M", en), "2.@3");
    EXPECT_EQ(read("1.234,5", de), "1234.5@7");
    EXPECT_EQ(read("1,5", NumberSyntax{',', -1}), "1.5@3");
}

}  // namespace
}  // namespace tessarune::format
