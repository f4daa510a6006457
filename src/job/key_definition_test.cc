#include "job/key_definition.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessarune::job {
namespace {

struct Case {
    std::vector<std::string> keys;
    uint32_t global;
    std::string expected;  // each field "start.char-end.char/flags", or "error: ..."
};

std::string plan_text(const Case& c, bool last_resort) {
    LineOrdering ordering;
    ordering.global = c.global;
    ordering.last_resort = last_resort;
    for (const std::string& text : c.keys) {
        Expected<KeyDefinition, std::string> key = parse_key_definition(text);
        if (!key) return "error: " + key.error();
        ordering.keys.push_back(*key);
    }
    Expected<format::LineKeyPlan, std::string> plan = make_line_key_plan(ordering);
    if (!plan) return "error: " + plan.error();
    std::string out;
    for (const format::LineKeyField& f : plan->fields) {
        out += std::to_string(f.start_field) + "." + std::to_string(f.start_char) + "-" +
               (f.end_field ? std::to_string(*f.end_field) + "." + std::to_string(f.end_char) : "$") + "/" +
               std::to_string(f.flags) + " ";
    }
    return out + (plan->last_resort ? "+last" : "");
}

// The global options reach only the keys without a modifier of their own (b counts as one);
// with no key, a field of the whole line exists only for an option other than -r; the last
// resort is there only when asked for and when there are fields.
TEST(KeyDefinition, GlobalOptionsFoldIntoTheKeysThatHaveNone) {
    using namespace format;
    const Case cases[] = {
        {{"2,2", "3b"}, kNumeric | kReverse, "1.0-1.0/12 2.0-$/1 "},
        {{"1.2,1.3"}, kBothBlanks, "0.1-0.3/3 "},
        {{}, kReverse, ""},
        {{}, kFoldCase, "0.0-$/512 "},
        {{"1n"}, kMonth, "0.0-$/4 "},
        {{"1", "2n"}, kMonth | kNumeric, "error: options '-Mn' are incompatible"},
        {{"0"}, 0, "error: field number is zero: invalid field specification '0'"},
        {{"1.x"}, 0, "error: invalid number after '.': invalid count at start of 'x'"},
    };
    for (const Case& c : cases) EXPECT_EQ(plan_text(c, false), c.expected) << c.keys.size();
    EXPECT_EQ(plan_text(cases[0], true), "1.0-1.0/12 2.0-$/1 +last");
    EXPECT_EQ(plan_text(cases[2], true), "");
}

}  // namespace
}  // namespace tessarune::job
