#include "job/key_definition.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace tessarune::job {
namespace {

using format::LineKeyField;

constexpr uint64_t kMaxUint = std::numeric_limits<uint64_t>::max();

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }


size_t read_modifiers(std::string_view text, size_t pos, uint32_t blank_flag, KeyDefinition& key) {
    for (; pos < text.size(); ++pos) {
        const uint32_t flag = modifier_flag(text[pos], blank_flag);
        if (flag == 0) break;
        key.own |= flag;
        key.has_own = true;
    }
    return pos;
}

struct KeyTextError {
    std::string_view text;
    Unexpected<std::string> bad(std::string_view why) const {
        return Unexpected(std::string(why) + ": invalid field specification " + c_quote(text));
    }
    Unexpected<std::string> bad_count(std::string_view where, size_t pos) const {
        return Unexpected("invalid number " + std::string(where) + ": invalid count at start of " +
                          c_quote(text.substr(pos)));
    }
};

// At most one way of reading a key: n, g, h and M exclude each other, and each excludes R, V,
// d and i. The message names the letters in the traditional command's order.
std::optional<std::string> incompatible(uint32_t flags) {
    using namespace format;
    const int readings = int{(flags & kGeneralNumeric) != 0} + int{(flags & kHumanNumeric) != 0} +
                         int{(flags & kMonth) != 0} + int{(flags & kNumeric) != 0} +
                         int{(flags & (kRandom | kVersion | kDictionary | kPrintable)) != 0};
    if (readings <= 1) return std::nullopt;
    std::string letters;
    for (char c : std::string_view("dfghiMnRV")) {
        if (c == 'i' && (flags & kDictionary)) continue;
        if (flags & modifier_flag(c, 0)) letters += c;
    }
    return "options '-" + letters + "' are incompatible";
}

}  // namespace

OptionCount read_option_count(std::string_view s, size_t pos) {
    while (pos < s.size() && is_space(s[pos])) ++pos;
    if (pos < s.size() && s[pos] == '+') ++pos;
    OptionCount c;
    if (pos == s.size() || !is_digit(s[pos])) return c;
    c.valid = true;
    for (; pos < s.size() && is_digit(s[pos]); ++pos) {
        const auto digit = static_cast<uint64_t>(s[pos] - '0');
        if (c.value > (kMaxUint - digit) / 10) c.overflow = true;
        c.value = c.overflow ? kMaxUint : c.value * 10 + digit;
    }
    c.end = pos;
    return c;
}

uint32_t modifier_flag(char c, uint32_t blank_flag) {
    switch (c) {
        case 'b': return blank_flag;
        case 'd': return format::kDictionary;
        case 'f': return format::kFoldCase;
        case 'g': return format::kGeneralNumeric;
        case 'h': return format::kHumanNumeric;
        case 'i': return format::kPrintable;
        case 'M': return format::kMonth;
        case 'n': return format::kNumeric;
        case 'R': return format::kRandom;
        case 'r': return format::kReverse;
        case 'V': return format::kVersion;
        default: return 0;
    }
}

Expected<KeyDefinition, std::string> parse_key_definition(std::string_view text) {
    const KeyTextError error{text};
    KeyDefinition key;
    const OptionCount field = read_option_count(text, 0);
    if (!field.valid) return error.bad_count("at field start", 0);
    if (field.value == 0) return error.bad("field number is zero");
    key.field.start_field = field.value - 1;
    size_t pos = field.end;
    if (pos < text.size() && text[pos] == '.') {
        const OptionCount c = read_option_count(text, pos + 1);
        if (!c.valid) return error.bad_count("after '.'", pos + 1);
        if (c.value == 0) return error.bad("character offset is zero");
        key.field.start_char = c.value - 1;
        pos = c.end;
    }
    pos = read_modifiers(text, pos, format::kSkipStartBlanks, key);
    if (pos < text.size() && text[pos] == ',') {
        const OptionCount end = read_option_count(text, pos + 1);
        if (!end.valid) return error.bad_count("after ','", pos + 1);
        if (end.value == 0) return error.bad("field number is zero");
        key.field.end_field = end.value - 1;
        pos = end.end;
        if (pos < text.size() && text[pos] == '.') {
            const OptionCount c = read_option_count(text, pos + 1);
            if (!c.valid) return error.bad_count("after '.'", pos + 1);
            key.field.end_char = c.value;  // 0: the whole field
            pos = c.end;
        }
        pos = read_modifiers(text, pos, format::kSkipEndBlanks, key);
    }
    if (pos != text.size()) return error.bad("stray character in field spec");
    return key;
}

std::optional<KeyDefinition> parse_obsolete_start(std::string_view arg) {
    KeyDefinition key;
    const OptionCount field = read_option_count(arg, 1);
    if (!field.valid) return std::nullopt;
    key.field.start_field = field.value;
    size_t pos = field.end;
    if (pos < arg.size() && arg[pos] == '.') {
        const OptionCount c = read_option_count(arg, pos + 1);
        if (!c.valid) return std::nullopt;
        key.field.start_char = c.value;
        pos = c.end;
    }
    pos = read_modifiers(arg, pos, format::kSkipStartBlanks, key);
    if (pos != arg.size()) return std::nullopt;
    return key;
}

bool is_obsolete_end(const char* arg) { return arg != nullptr && arg[0] == '-' && is_digit(arg[1]); }

// -POS2 is the end before field F (counted from 0) or, with .C, C characters into field F.
Expected<void, std::string> parse_obsolete_end(std::string_view arg, KeyDefinition& key) {
    const KeyTextError error{arg};
    const OptionCount field = read_option_count(arg, 1);
    size_t pos = field.end;
    uint64_t chars = 0;
    if (pos < arg.size() && arg[pos] == '.') {
        const OptionCount c = read_option_count(arg, pos + 1);
        if (!c.valid) return error.bad_count("after '.'", pos + 1);
        chars = c.value;
        pos = c.end;
    }
    pos = read_modifiers(arg, pos, format::kSkipEndBlanks, key);
    if (pos != arg.size()) return error.bad("stray character in field spec");
    if (chars != 0) {
        key.field.end_field = field.value;
        key.field.end_char = chars;
    } else if (field.value != 0) {
        key.field.end_field = field.value - 1;
    } else {
        // The end before the first field: no key at all, as a start past every line gives.
        key.field.start_field = kMaxUint;
        key.field.start_char = 0;
    }
    return {};
}

Expected<format::LineKeyPlan, std::string> make_line_key_plan(const LineOrdering& ordering) {
    format::LineKeyPlan plan;
    for (const KeyDefinition& key : ordering.keys) {
        LineKeyField field = key.field;
        field.flags = key.has_own ? key.own : ordering.global;
        if (std::optional<std::string> error = incompatible(field.flags)) return Unexpected(std::move(*error));
        plan.fields.push_back(field);
    }
    const bool collated = ordering.locale && ordering.locale->collation() != nullptr;
    if (ordering.keys.empty() && ((ordering.global & ~uint32_t{format::kReverse}) != 0 || collated)) {
        if (std::optional<std::string> error = incompatible(ordering.global)) return Unexpected(std::move(*error));
        plan.fields.push_back(LineKeyField{0, 0, std::nullopt, 0, ordering.global});
    }
    plan.tab = ordering.tab;
    plan.zero_terminated = ordering.zero_terminated;
    plan.last_resort = !plan.fields.empty() && ordering.last_resort;
    plan.last_resort_reverse = (ordering.global & format::kReverse) != 0;
    // The whole line as the only key needs no last resort after it.
    if (ordering.keys.empty() && (ordering.global & ~uint32_t{format::kReverse}) == 0) plan.last_resort = false;
    plan.locale = ordering.locale;
    return plan;
}

}  // namespace tessarune::job
