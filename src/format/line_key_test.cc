#include "format/line_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "format/number_key.h"
#include "format/record_keyers.h"

namespace tessarune::format {
namespace {

constexpr uint64_t kHuge = std::numeric_limits<uint64_t>::max();

std::string line_key(const LineKeyPlan& plan, std::string_view line) {
    ByteBuffer out;
    append_line_key(plan, Bytes(reinterpret_cast<const uint8_t*>(line.data()), line.size()), out);
    return std::string(out.begin(), out.end());
}

LineKeyPlan plan_of(LineKeyField field, int tab = -1, bool zero_terminated = false) {
    LineKeyPlan plan;
    plan.fields = {field};
    plan.tab = tab;
    plan.zero_terminated = zero_terminated;
    return plan;
}

// The key bytes of a text key.
std::string text(std::string_view s) {
    std::string out;
    for (char c : s) {
        out += c;
        if (c == '\0') out += '\xff';
    }
    return out + std::string(2, '\0');
}

TEST(LineKey, BlankFieldsKeepTheirLeadingBlanksUnlessB) {
    const std::string_view line = "a  bc\tde ";
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, 0}), line), text("  bc"));
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, kSkipStartBlanks}), line), text("bc"));
    // Characters of the end field count from its start, blanks included unless b is on POS2.
    EXPECT_EQ(line_key(plan_of({0, 0, 1, 2, 0}), line), text("a  "));
    EXPECT_EQ(line_key(plan_of({0, 0, 1, 2, kSkipEndBlanks}), line), text("a  bc"));
    EXPECT_EQ(line_key(plan_of({2, 1, std::nullopt, 0, 0}), line), text("de "));
    // Trailing blanks are a field of their own; past them the key is empty, not the line's tail.
    EXPECT_EQ(line_key(plan_of({3, 0, 3, 0, 0}), line), text(" "));
    EXPECT_EQ(line_key(plan_of({4, 0, 4, 0, 0}), line), text(""));
    // A start after the end is an empty key.
    EXPECT_EQ(line_key(plan_of({1, 0, 0, 0, 0}), line), text(""));
    // A newline is a blank only when lines end with NUL.
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, 0}), "a\nb c"), text(" c"));
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, 0}, -1, true), "a\nb c"), text("\nb"));
}

TEST(LineKey, SeparatorFieldsExistOnlyUpToTheLastSeparator) {
    const int comma = ',';
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, 0}, comma), "a, b,"), text(" b"));
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, kSkipStartBlanks}, comma), "a, b,"), text("b"));
    EXPECT_EQ(line_key(plan_of({0, 0, 2, 0, 0}, comma), "a,,c,d"), text("a,,c"));
    // A missing end field runs the key to the end of the line.
    EXPECT_EQ(line_key(plan_of({1, 0, 5, 1, 0}, comma), "a,b,c"), text("b,c"));
    EXPECT_EQ(line_key(plan_of({3, 0, std::nullopt, 0, 0}, comma), "a,b,c"), text(""));
    // The separator may be a blank or NUL; then it is not a blank of the field splitting.
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, 0}, ' '), "a  b"), text(""));
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, 0}, 0), std::string_view("a\0b c\0d", 7)), text("b c"));
    EXPECT_EQ(line_key(plan_of({1, 0, 1, 0, kSkipStartBlanks}, ',', true), "a,\n x"), text("x"));
}

TEST(LineKey, HugeNumbersSelectNothingWithoutOverflow) {
    for (int tab : {-1, int{','}}) {
        SCOPED_TRACE(tab);
        const std::string_view line = "a,b c";
        EXPECT_EQ(line_key(plan_of({kHuge, 0, std::nullopt, 0, 0}, tab), line), text(""));
        EXPECT_EQ(line_key(plan_of({kHuge, kHuge, kHuge, kHuge, kSkipStartBlanks | kSkipEndBlanks}, tab), line),
                  text(""));
        EXPECT_EQ(line_key(plan_of({0, 0, kHuge, 0, 0}, tab), line), text(line));
        EXPECT_EQ(line_key(plan_of({0, 0, kHuge - 1, 0, 0}, tab), line), text(line));
        EXPECT_EQ(line_key(plan_of({0, 0, 0, kHuge, 0}, tab), line), text(line));
        EXPECT_EQ(line_key(plan_of({0, kHuge, 0, 0, 0}, tab), line), text(""));
        EXPECT_EQ(line_key(plan_of({0, kHuge - 1, kHuge, 0, 0}, tab), line), text(""));
    }
}

TEST(LineKey, PartsConcatenateAndReverseAlone) {
    LineKeyPlan plan;
    plan.fields = {{1, 0, 1, 0, kNumeric | kReverse}, {0, 0, 0, 0, 0}};
    std::string expected_number;
    {
        ByteBuffer out;
        const std::string_view number = " -1.50";
        append_number_key(Bytes(reinterpret_cast<const uint8_t*>(number.data()), number.size()), is_line_blank, out);
        for (uint8_t b : out) expected_number += static_cast<char>(~b);
    }
    EXPECT_EQ(line_key(plan, std::string_view("x\0y -1.50", 9)), expected_number + text(std::string_view("x\0y", 3)));
}

// The last resort orders lines of equal fields by their bytes (reversed by the global -r),
// while the record stores the line once, inside its key, and gives it back whole.
TEST(LineKey, LastResortOrdersTiesByLineAndGivesTheLineBack) {
    std::mt19937_64 rng(7);
    const std::string alphabet{"ab \0\xff", 5};
    for (const bool reversed : {false, true}) {
        LineKeyPlan plan = plan_of({1, 0, 1, 0, kNumeric});
        plan.last_resort = true;
        plan.last_resort_reverse = reversed;
        struct Record {
            std::string line, key, payload;
        };
        std::vector<Record> records;
        auto keyer = make_line_keyer(plan, '\n');
        for (int i = 0; i < 300; ++i) {
            std::string line = std::to_string(rng() % 3) + " " + std::to_string(rng() % 3);
            for (uint64_t n = rng() % 4; n > 0; --n) line += alphabet[rng() % alphabet.size()];
            const std::string input = line + "\n";
            ByteBuffer key;
            const KeyedRecord r = keyer->next(Bytes(reinterpret_cast<const uint8_t*>(input.data()), input.size()), true, key);
            ASSERT_EQ(r.step, RecordStep::Record);
            ByteBuffer back;
            append_keyed_line(plan, '\n', key.span(), r.payload, back);
            ASSERT_EQ(std::string(back.begin(), back.end()), input);
            records.push_back({line, std::string(key.begin(), key.end()), std::string(r.payload.begin(), r.payload.end())});
        }
        std::vector<Record> by_key = records;
        std::stable_sort(by_key.begin(), by_key.end(), [](const Record& a, const Record& b) { return a.key < b.key; });
        auto field = [](const std::string& line) { return std::stoi(line.substr(line.find(' ') + 1)); };
        std::stable_sort(records.begin(), records.end(), [&](const Record& a, const Record& b) {
            if (field(a.line) != field(b.line)) return field(a.line) < field(b.line);
            return reversed ? b.line < a.line : a.line < b.line;
        });
        for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(by_key[i].line, records[i].line) << i;
    }
}

}  // namespace
}  // namespace tessarune::format
