// The sort key of a line of text, as the command line's key options describe it (-k POS1[,POS2]
// with F[.C] and the modifiers b and n, the global -b -n -r, -t SEP and -z), in the C locale.
//
// A plan holds one field per -k (or one for the whole line). Fields of the line are found
// either at blanks (a field is its leading blanks and the non-blanks after them) or at a
// separator byte (a field is the bytes between two separators). Each key field becomes bytes
// that are prefix-free and order-preserving, so the concatenation compares as the tuple of its
// fields would:
//
//   text:     the bytes with each 00 written as 00 FF, then 00 00
//   numeric:  the number key of format/number_key.h
//   reverse:  either of them with every byte complemented (255 - b)
//
// Field and character numbers may be as large as uint64_t holds: a field past the end of the
// line selects an empty key, and no position is computed with overflow.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "base/growable_array.h"

namespace tessarune::format {

enum LineKeyFlags : uint32_t {
    kSkipStartBlanks = 1,  // b on POS1: the start position skips the field's leading blanks
    kSkipEndBlanks = 2,    // b on POS2: so does the end position before counting characters
    kNumeric = 4,          // n: the key is the number the text starts with
    kReverse = 8,          // r: this field sorts in descending order
};
inline constexpr uint32_t kAllLineKeyFlags = kSkipStartBlanks | kSkipEndBlanks | kNumeric | kReverse;

struct LineKeyField {
    uint64_t start_field = 0;           // 0-based
    uint64_t start_char = 0;            // 0-based offset into the field
    std::optional<uint64_t> end_field;  // 0-based; nullopt: to the end of the line
    uint64_t end_char = 0;              // characters of end_field kept; 0: the whole field
    uint32_t flags = 0;                 // LineKeyFlags
};

struct LineKeyPlan {
    std::vector<LineKeyField> fields;  // never empty: the whole line is one field when no -k
    int tab = -1;                      // the field separator byte, or -1: fields begin at blanks
    bool zero_terminated = false;      // lines end with NUL: newline is a blank too
};

// Appends the key bytes of `line` (without its separator). Time is linear in the line's length
// for each field of the plan; nothing is allocated beyond the growth of `out`.
void append_line_key(const LineKeyPlan& plan, Bytes line, ByteBuffer& out);

}  // namespace tessarune::format
