// Key definitions of lines as the traditional sort command reads them: -k POS1[,POS2], the
// obsolete +POS1 [-POS2], the modifier letters, and the global ordering options folded into
// every key that has no modifier of its own. Both front doors (the command's options and the
// Python module's sort_files) make their line key plan here, so that one key text means one
// thing and is refused with one message everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "format/line_key.h"
#include "job/job_spec.h"
#include "job/message_quoting.h"

namespace tessarune::job {

// A count as strtoumax reads it in the C locale (blanks, an optional '+', digits), minus a
// sign; too large a count saturates. The command's other counts (-S, --parallel) read alike.
struct OptionCount {
    bool valid = false;
    bool overflow = false;
    uint64_t value = 0;
    size_t end = 0;  // just past the digits
};
OptionCount read_option_count(std::string_view s, size_t pos);

// b on both positions: what -b and a global b mean.
inline constexpr uint32_t kBothBlanks = format::kSkipStartBlanks | format::kSkipEndBlanks;

// A modifier letter's flag (b gives `blank_flag`, the flag of the position it follows); 0
// for a letter that is no modifier.
uint32_t modifier_flag(char c, uint32_t blank_flag);

// One key as given, before the global options are folded in.
struct KeyDefinition {
    format::LineKeyField field;
    uint32_t own = 0;      // the flags of its own modifiers
    bool has_own = false;  // any modifier letter, b included
};

// -k POS1[,POS2], POS = F[.C][OPTS], counted from 1. Errors are the traditional command's
// ("field number is zero: invalid field specification '0'").
Expected<KeyDefinition, std::string> parse_key_definition(std::string_view text);

// The obsolete +POS1, counted from 0; nullopt when the argument is no such thing (it then
// names a file).
std::optional<KeyDefinition> parse_obsolete_start(std::string_view arg);
// Whether an argument after +POS1 is its -POS2.
bool is_obsolete_end(const char* arg);
// Reads -POS2 into the key that +POS1 began.
Expected<void, std::string> parse_obsolete_end(std::string_view arg, KeyDefinition& key);

// The keys and options that make a plan of lines.
struct LineOrdering {
    std::vector<KeyDefinition> keys;  // in order
    uint32_t global = 0;              // the global ordering options, as flags
    int tab = -1;                     // -t's byte, or -1
    bool zero_terminated = false;
    bool last_resort = true;          // false for -s and -u
    std::shared_ptr<const format::LineLocale> locale;  // nullptr: the C locale
};

// The plan: each key with its own flags, or else the global ones; with no key, one field of
// the whole line when a global option other than -r asks for one or the locale collates
// lines, and none otherwise. Fails
// when a field would be read two ways ("options '-Mn' are incompatible").
Expected<format::LineKeyPlan, std::string> make_line_key_plan(const LineOrdering& ordering);

}  // namespace tessarune::job
