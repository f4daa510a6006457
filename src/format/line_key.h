// The sort key of a line of text, as the command line's key options describe it (-k POS1[,POS2]
// with F[.C] and the modifiers b d f g h i M n R r V, the same global options, -t SEP and -z), in
// the C locale or the user's (format/line_locale.h).
//
// A plan holds one field per -k (or one for the whole line). Fields of the line are found
// either at blanks (a field is its leading blanks and the non-blanks after them) or at a
// separator byte (a field is the bytes between two separators). Each key field becomes bytes
// that are prefix-free and order-preserving, so the concatenation compares as the tuple of its
// fields would:
//
//   text:     the bytes with each 00 written as 00 FF, then 00 00; in a locale with collation
//             rules, the text's transformed or primary collation key (format/collation.h)
//   numeric:  the number key of format/number_key.h (n, and h as append_human_number_key)
//   general:  the key of format/general_number_key.h (g)
//   month:    one byte, 0 for no month name, 1 for JAN ... 12 for DEC (M)
//   version:  the key of format/version_key.h (V)
//   random:   16 bytes of a hash of the text, seeded per plan, then the text key (R): equal
//             texts stay together, different ones fall in an order that changes with the seed
//   reverse:  any of them with every byte complemented (255 - b)
//
// Before a text, version or random key is made, d drops all bytes but letters, digits and blanks,
// i (unless d) all but printable ones, and f folds lower case letters to upper case; f also
// before an h key, where it turns letters into units. The n, g and M keys read alike either way.
//
// Field and character numbers may be as large as uint64_t holds: a field past the end of the
// line selects an empty key, and no position is computed with overflow.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/growable_array.h"
#include "format/line_locale.h"

namespace tessarune::format {

enum LineKeyFlags : uint32_t {
    kSkipStartBlanks = 1,  // b on POS1: the start position skips the field's leading blanks
    kSkipEndBlanks = 2,    // b on POS2: so does the end position before counting characters
    kNumeric = 4,          // n: the key is the number the text starts with
    kReverse = 8,          // r: this field sorts in descending order
    kGeneralNumeric = 16,  // g: the floating-point number the text starts with
    kHumanNumeric = 32,    // h: a number with an SI unit
    kMonth = 64,           // M: a month's name
    kVersion = 128,        // V: version order
    kRandom = 256,         // R: a hash of the text
    kFoldCase = 512,       // f: lower case letters as upper case
    kDictionary = 1024,    // d: only letters, digits and blanks count
    kPrintable = 2048,     // i: only printable bytes count
};
inline constexpr uint32_t kAllLineKeyFlags = 4095;

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
    uint64_t random_seed = 0;          // for kRandom fields
    // After the fields, the whole line as a last resort, so that lines whose fields compare
    // equal fall in the order of their bytes: the line as a text key, complemented when
    // last_resort_reverse (the global -r). Off for -s and -u, and needless without fields.
    bool last_resort = false;
    bool last_resort_reverse = false;
    // The user's locale where it is not the C locale's rules; nullptr: the C locale. With a
    // collation, text parts are transformed keys (format/collation.h) but for the key's last
    // part (the last resort, or else the last field), a primary key where it is a text: the
    // keys are in order but for runs of equal ones, which compare_collated_lines puts right.
    std::shared_ptr<const LineLocale> locale;

    const Collation* collation() const { return locale ? locale->collation() : nullptr; }
    // Whether the key ends with the line itself, so that the line need not be stored again:
    // the last resort as bytes.
    bool line_in_key() const { return last_resort && collation() == nullptr; }
};

// Room for the steps of making a key: a field's text as d, i, f or g read it, a NUL-ended
// piece for the C library, and a transformed collation key that -R hashes.
struct LineKeyScratch {
    ByteBuffer text;
    ByteBuffer piece;
    ByteBuffer key;
};

// Appends the key bytes of `line` (without its separator). Time is linear in the line's length
// for each field of the plan; nothing is allocated beyond the growth of `out` and `scratch`.
void append_line_key(const LineKeyPlan& plan, Bytes line, ByteBuffer& out, LineKeyScratch& scratch);

// The length of the last-resort part at the end of a key that append_line_key made with
// line_in_key(): the line's text key, `escaped line 00 00`.
size_t last_resort_length(Bytes line);

// Appends to `out` the line whose last-resort part ends `key`, given that part's length:
// the line is stored once, inside its key, and comes back from there on the way out.
void append_line_from_key(Bytes key, size_t last_resort_length, bool reversed, ByteBuffer& out);

// The same with scratch space of its own, for callers that key a line now and then.
void append_line_key(const LineKeyPlan& plan, Bytes line, ByteBuffer& out);

// The plan cut after its first text part in a collation (its first text field, or else the last
// resort), that part primary. Its keys are coarser than the plan's own but never contrary: lines of one such key lie together in the plan's order, and only the
// traditional comparison below orders them exactly.
LineKeyPlan leading_collated_plan(const LineKeyPlan& plan);
// Whether that first text part is the plan's last part, so that both plans key alike.
bool collated_part_is_last(const LineKeyPlan& plan);
// Whether a field is a text (no n, g, h, M, V or R), which a collation orders.
bool is_text_field(const LineKeyField& field);

// Whether two lines hold the same bytes in each text field of the plan but the last part of its
// key. Lines that do are in the traditional order when their keys are: only a
// text field before the last part can be ordered otherwise by its key than by strcoll.
bool same_inner_texts(const LineKeyPlan& plan, Bytes a, Bytes b);

// Compares two lines (without separators) in the order of a plan with a collation, as the
// traditional command does: each text field and the last resort with strcoll, the other
// fields by their keys.
int compare_collated_lines(const LineKeyPlan& plan, Bytes a, Bytes b, LineKeyScratch& scratch_a,
                           LineKeyScratch& scratch_b);

}  // namespace tessarune::format
