#include "format/line_key.h"

#include <algorithm>
#include <array>
#include <string>
#include <bit>
#include <cstring>
#include <utility>

// The hash of -R is compiled in from the header, as the run files' is: no library to link.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "base/engine_error.h"
#include "format/general_number_key.h"
#include "key/key_compare.h"
#include "format/number_key.h"
#include "format/version_key.h"

namespace tessarune::format {
namespace {

constexpr size_t kNoField = SIZE_MAX;

// Fields are found a word at a time: most fields are a few bytes to a few dozen, too short for
// memchr's setup to pay, and a byte loop costs a branch per byte.
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighs = 0x8080808080808080;

// The high bit of each byte of `word` equal to c. Exact for the lowest such byte (borrows run
// only upwards), which is all find_first reads.
constexpr uint64_t bytes_equal(uint64_t word, uint8_t c) {
    const uint64_t x = word ^ (kOnes * c);
    return (x - kOnes) & ~x & kHighs;
}

// Byte classes: a test of one byte and the marks of a word, as types so that the loops inline.
struct LineBlank {
    bool operator()(uint8_t c) const { return is_line_blank(c); }
    static uint64_t in_word(uint64_t w) { return bytes_equal(w, ' ') | bytes_equal(w, '\t'); }
};
struct ZLineBlank {
    bool operator()(uint8_t c) const { return is_zline_blank(c); }
    static uint64_t in_word(uint64_t w) { return bytes_equal(w, ' ') | bytes_equal(w, '\t') | bytes_equal(w, '\n'); }
};
// Blanks by a locale's table, where they are not the C locale's.
struct TableBlank {
    const std::array<bool, 256>* table;
    bool newline;  // zero-ended lines: a newline is a blank too
    bool operator()(uint8_t c) const { return (*table)[c] || (newline && c == '\n'); }
    uint64_t in_word(uint64_t w) const {
        uint64_t marks = 0;
        for (int i = 0; i < 8; ++i) {
            if ((*this)(static_cast<uint8_t>(w >> (8 * i)))) marks |= uint64_t{0x80} << (8 * i);
        }
        return marks;
    }
};
struct SeparatorByte {
    uint8_t tab;
    bool operator()(uint8_t c) const { return c == tab; }
    uint64_t in_word(uint64_t w) const { return bytes_equal(w, tab); }
};

// The first position at or after pos whose byte is in the class, or the line's end; at most
// `limit` bytes are looked at (then the result is pos + limit, which may be past n).
template <typename Class>
size_t find_first(Bytes line, size_t pos, Class in_class, size_t limit = SIZE_MAX) {
    const size_t n = line.size();
    const size_t stop = n - pos > limit ? pos + limit : n;
    if constexpr (std::endian::native == std::endian::little) {
        for (; stop - pos >= 8; pos += 8) {
            uint64_t word;
            std::memcpy(&word, line.data() + pos, 8);
            if (const uint64_t marks = in_class.in_word(word)) {
                return pos + static_cast<size_t>(std::countr_zero(marks)) / 8;
            }
        }
    }
    while (pos < stop && !in_class(line[pos])) ++pos;
    return pos;
}

// pos + count, but never past n. REQUIRES: pos <= n
size_t advance_clamped(size_t pos, uint64_t count, size_t n) { return count >= n - pos ? n : pos + count; }

template <typename IsBlank>
size_t skip_blanks(Bytes line, size_t pos, IsBlank blank) {
    while (pos < line.size() && blank(line[pos])) ++pos;
    return pos;
}

// Fields that begin at blanks: each is its run of leading blanks and the non-blanks after it.
// Every field "exists": past the last one, fields are empty at the end of the line.
template <typename IsBlank>
struct BlankFields {
    IsBlank blank;

    // Where the field starts after skipping `count` fields from `pos`, the start of a field.
    size_t skip(Bytes line, size_t pos, uint64_t count) const {
        const size_t n = line.size();
        for (; count > 0 && pos < n; --count) pos = end_of_field(line, pos);
        return pos;
    }
    size_t end_of_field(Bytes line, size_t pos) const { return find_first(line, skip_blanks(line, pos, blank), blank); }
};

// Fields between separator bytes: a field that the line does not have is kNoField.
struct TabFields {
    SeparatorByte tab;

    // A field longer than this is searched with memchr, which is faster over long spans.
    static constexpr size_t kShortField = 64;

    size_t skip(Bytes line, size_t pos, uint64_t count) const {
        const size_t n = line.size();
        for (; count > 0; --count) {
            pos = end_of_field(line, pos);
            if (pos == n) return kNoField;
            ++pos;
        }
        return pos;
    }
    // The position of the next separator at or after pos, or n.
    size_t end_of_field(Bytes line, size_t pos) const {
        const size_t n = line.size();
        pos = find_first(line, pos, tab, kShortField);
        if (pos >= n || line[pos] == tab.tab) return pos;
        const void* at = std::memchr(line.data() + pos, tab.tab, n - pos);
        return at == nullptr ? n : static_cast<size_t>(static_cast<const uint8_t*>(at) - line.data());
    }
};

// Where the key of `f` lies in the line: [start, end), empty when end <= start.
template <typename Fields, typename IsBlank>
std::pair<size_t, size_t> key_range(const Fields& fields, IsBlank blank, const LineKeyField& f, Bytes line) {
    const size_t n = line.size();
    const size_t start_field_at = fields.skip(line, 0, f.start_field);
    size_t start = n;
    if (start_field_at != kNoField) {
        start = start_field_at;
        if (f.flags & kSkipStartBlanks) start = skip_blanks(line, start, blank);
        start = advance_clamped(start, f.start_char, n);
    }
    if (!f.end_field) return {start, n};

    const uint64_t end_field = *f.end_field;
    // The common -kK,L with L >= K goes on from the start field instead of reading the line again.
    const size_t end_field_at = end_field >= f.start_field
                                    ? (start_field_at == kNoField ? kNoField
                                                                  : fields.skip(line, start_field_at, end_field - f.start_field))
                                    : fields.skip(line, 0, end_field);
    if (end_field_at == kNoField) return {start, n};
    if (f.end_char == 0) return {start, fields.end_of_field(line, end_field_at)};
    size_t end = end_field_at;
    if (f.flags & kSkipEndBlanks) end = skip_blanks(line, end, blank);
    return {start, advance_clamped(end, f.end_char, n)};
}

// The bytes of the key of `f` in the line (empty when it selects none).
template <typename Fields, typename IsBlank>
Bytes field_text(const Fields& fields, IsBlank blank, const LineKeyField& f, Bytes line) {
    const auto [start, end] = key_range(fields, blank, f, line);
    return end > start ? line.subspan(start, end - start) : Bytes{};
}

void complement_from(ByteBuffer& out, size_t at) {
    for (uint8_t *p = out.data() + at, *e = out.data() + out.size(); p != e; ++p) *p = static_cast<uint8_t>(~*p);
}

// Text keys write each 00 as 00 FF and end with 00 00, so that no key is a prefix of another.
void append_text_key(Bytes text, ByteBuffer& out) {
    const uint8_t* p = text.data();
    const uint8_t* const end = p + text.size();
    while (p != end) {
        const void* zero = std::memchr(p, 0, static_cast<size_t>(end - p));
        if (zero == nullptr) {
            out.append(p, static_cast<size_t>(end - p));
            break;
        }
        const auto* z = static_cast<const uint8_t*>(zero);
        out.append(p, static_cast<size_t>(z - p));
        out.push_back(0x00);
        out.push_back(0xFF);
        p = z + 1;
    }
    out.push_back(0x00);
    out.push_back(0x00);
}

// A text key in the plan's order: bytes, or one of the collation's keys (see LineKeyPlan::locale).
void append_text(const LineKeyPlan& plan, Bytes text, ByteBuffer& out, LineKeyScratch& scratch, bool primary) {
    const Collation* collation = plan.collation();
    if (collation == nullptr) {
        append_text_key(text, out);
    } else if (primary) {
        collation->append_primary(text, out, scratch.piece);
    } else {
        collation->append_transformed(text, out, scratch.piece);
    }
}

constexpr uint32_t kTextFilters = kFoldCase | kDictionary | kPrintable;

uint8_t upper(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 'a' + 'A') : c; }

bool kept_by_dictionary(uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ' ' ||
           c == '\t' || c == '\n';
}

bool printable(uint8_t c) { return c >= 0x20 && c < 0x7F; }

// The byte classes of the C locale, as the tables of a locale's hold them.
struct CClasses {
    static bool dictionary(uint8_t c) { return kept_by_dictionary(c); }
    static bool printable(uint8_t c) { return tessarune::format::printable(c); }
    static uint8_t upper(uint8_t c) { return tessarune::format::upper(c); }
};
struct TableClasses {
    const ByteClasses* classes;
    bool dictionary(uint8_t c) const { return classes->dictionary[c]; }
    bool printable(uint8_t c) const { return classes->printable[c]; }
    uint8_t upper(uint8_t c) const { return classes->upper[c]; }
};

template <typename Classes>
Bytes filtered_by(Bytes text, uint32_t flags, Classes classes, ByteBuffer& scratch) {
    scratch.clear();
    scratch.reserve(text.size());
    uint8_t* o = scratch.data();
    const bool dictionary = (flags & kDictionary) != 0;
    const bool printable_only = !dictionary && (flags & kPrintable) != 0;
    const bool fold = (flags & kFoldCase) != 0;
    for (const uint8_t c : text) {
        if (dictionary && !classes.dictionary(c)) continue;
        if (printable_only && !classes.printable(c)) continue;
        *o++ = fold ? classes.upper(c) : c;
    }
    scratch.set_size(static_cast<size_t>(o - scratch.data()));
    return scratch.span();
}

// The locale's byte classes, or nullptr for the C locale's.
const ByteClasses* table_classes(const LineKeyPlan& plan) {
    return plan.locale && !plan.locale->c_classes() ? &plan.locale->classes() : nullptr;
}

// The text with d, i and f applied, in scratch when they change it. d overrides i.
Bytes filtered(const LineKeyPlan& plan, Bytes text, uint32_t flags, ByteBuffer& scratch) {
    if ((flags & kTextFilters) == 0) return text;
    if (const ByteClasses* classes = table_classes(plan)) return filtered_by(text, flags, TableClasses{classes}, scratch);
    return filtered_by(text, flags, CClasses{}, scratch);
}

// 1 to 12 for a text whose first three bytes after blanks name a month in any case, else 0.
template <typename IsBlank>
uint8_t month_of(Bytes text, IsBlank blank) {
    static constexpr char kMonths[] = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";
    const size_t i = skip_blanks(text, 0, blank);
    if (text.size() - i < 3) return 0;
    const uint8_t a = upper(text[i]), b = upper(text[i + 1]), c = upper(text[i + 2]);
    for (uint8_t m = 0; m < 12; ++m) {
        const char* name = kMonths + 3 * m;
        if (a == static_cast<uint8_t>(name[0]) && b == static_cast<uint8_t>(name[1]) &&
            c == static_cast<uint8_t>(name[2])) {
            return static_cast<uint8_t>(m + 1);
        }
    }
    return 0;
}

// The month of a text by a locale's names: the name that the text's upper case starts with,
// after blanks, the longest if several do.
template <typename IsBlank>
uint8_t locale_month_of(const LineLocale& locale, Bytes text, IsBlank blank) {
    const size_t i = skip_blanks(text, 0, blank);
    const auto& upper = locale.classes().upper;
    uint8_t month = 0;
    size_t longest = 0;
    for (uint8_t m = 0; m < 12; ++m) {
        const std::string& name = locale.months()[m];
        if (name.empty() || name.size() > text.size() - i || name.size() <= longest) continue;
        bool match = true;
        for (size_t k = 0; k < name.size() && match; ++k) match = upper[text[i + k]] == static_cast<uint8_t>(name[k]);
        if (match) {
            month = static_cast<uint8_t>(m + 1);
            longest = name.size();
        }
    }
    return month;
}

// In a locale with collation rules the hash is of the text's exact collation key, so that
// texts the locale equates stay together as equal texts do.
void append_random_key(const LineKeyPlan& plan, Bytes text, ByteBuffer& out, LineKeyScratch& scratch) {
    const Collation* collation = plan.collation();
    Bytes hashed = text;
    if (collation != nullptr) {
        scratch.key.clear();
        collation->append_transformed(text, scratch.key, scratch.piece);
        hashed = scratch.key.span();
    }
    const XXH128_hash_t h = XXH3_128bits_withSeed(hashed.data(), hashed.size(), plan.random_seed);
    for (const uint64_t word : {h.high64, h.low64}) {
        for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(word >> shift));
    }
    if (collation != nullptr) {
        out.append(hashed);
    } else {
        append_text_key(text, out);
    }
}

constexpr uint32_t kNotText = kNumeric | kGeneralNumeric | kHumanNumeric | kMonth | kVersion | kRandom;

template <typename IsBlank>
void append_field_key(const LineKeyPlan& plan, uint32_t flags, IsBlank blank, Bytes text, ByteBuffer& out,
                      LineKeyScratch& scratch, bool primary = false) {
    const LineLocale* locale = plan.locale.get();
    if (flags & kRandom) {
        append_random_key(plan, filtered(plan, text, flags, scratch.text), out, scratch);
    } else if (flags & kGeneralNumeric) {
        append_general_number_key(text, scratch.text, out,
                                  locale == nullptr ? static_cast<locale_t>(nullptr) : locale->handle());
    } else if (flags & (kHumanNumeric | kNumeric)) {
        // Folded, a unit may appear: 1e3 is 1 with no unit, 1E3 one exa.
        const Bytes number_text = flags & kHumanNumeric ? filtered(plan, text, flags & kFoldCase, scratch.text) : text;
        const NumberText number = locale == nullptr ? read_number(number_text, blank)
                                                    : read_number(number_text, blank, locale->number_syntax(), scratch.piece);
        if (flags & kHumanNumeric) {
            append_human_number_key(number, number.end < number_text.size() ? number_text[number.end] : 0, out);
        } else {
            append_number_key(number, out);
        }
    } else if (flags & kMonth) {
        out.push_back(locale != nullptr && !locale->c_months() ? locale_month_of(*locale, text, blank)
                                                              : month_of(text, blank));
    } else if (flags & kVersion) {
        append_version_key(filtered(plan, text, flags, scratch.text), out);
    } else {
        append_text(plan, filtered(plan, text, flags, scratch.text), out, scratch, primary);
    }
}

template <typename Fields, typename IsBlank>
void append_key(const LineKeyPlan& plan, const Fields& fields, IsBlank blank, Bytes line, ByteBuffer& out,
                LineKeyScratch& scratch) {
    const size_t count = plan.fields.size();
    for (size_t i = 0; i < count; ++i) {
        const LineKeyField& f = plan.fields[i];
        const size_t key_at = out.size();
        append_field_key(plan, f.flags, blank, field_text(fields, blank, f, line), out, scratch,
                         !plan.last_resort && i + 1 == count);
        if (f.flags & kReverse) complement_from(out, key_at);
    }
    if (plan.last_resort) {
        const size_t key_at = out.size();
        append_text(plan, line, out, scratch, /*primary=*/true);
        if (plan.last_resort_reverse) complement_from(out, key_at);
    }
}

template <typename Fields, typename IsBlank>
int compare_collated(const LineKeyPlan& plan, const Fields& fields, IsBlank blank, Bytes a, Bytes b,
                     LineKeyScratch& sa, LineKeyScratch& sb) {
    const Collation& collation = *plan.collation();
    for (const LineKeyField& f : plan.fields) {
        const Bytes text_a = field_text(fields, blank, f, a);
        const Bytes text_b = field_text(fields, blank, f, b);
        int c = 0;
        if ((f.flags & kNotText) == 0) {
            c = collation.compare(filtered(plan, text_a, f.flags, sa.text), filtered(plan, text_b, f.flags, sb.text),
                                  sa.piece, sb.piece);
            if (f.flags & kReverse) c = -c;
        } else {
            sa.key.clear();
            sb.key.clear();
            append_field_key(plan, f.flags, blank, text_a, sa.key, sa);
            append_field_key(plan, f.flags, blank, text_b, sb.key, sb);
            c = compare_keys(sa.key.span(), sb.key.span());
            if (f.flags & kReverse) c = -c;
        }
        if (c != 0) return c;
    }
    if (!plan.last_resort) return 0;
    const int c = collation.compare(a, b, sa.piece, sb.piece);
    return plan.last_resort_reverse ? -c : c;
}

template <typename Fields, typename IsBlank>
bool same_inner(const LineKeyPlan& plan, const Fields& fields, IsBlank blank, Bytes a, Bytes b) {
    const size_t inner = plan.last_resort ? plan.fields.size() : plan.fields.size() - 1;
    for (size_t i = 0; i < inner; ++i) {
        const LineKeyField& f = plan.fields[i];
        if ((f.flags & kNotText) != 0) continue;
        if (!std::ranges::equal(field_text(fields, blank, f, a), field_text(fields, blank, f, b))) return false;
    }
    return true;
}

// Calls visit(fields, blank) with the plan's way of finding fields and its class of blanks, as
// types, so that the loops over the bytes inline.
template <typename Visit>
decltype(auto) with_fields(const LineKeyPlan& plan, Visit&& visit) {
    const auto by_separator_or_blanks = [&](auto blank) -> decltype(auto) {
        if (plan.tab < 0) return visit(BlankFields<decltype(blank)>{blank}, blank);
        return visit(TabFields{{static_cast<uint8_t>(plan.tab)}}, blank);
    };
    if (const ByteClasses* classes = table_classes(plan)) {
        return by_separator_or_blanks(TableBlank{&classes->blank, plan.zero_terminated});
    }
    if (plan.zero_terminated) return by_separator_or_blanks(ZLineBlank{});
    return by_separator_or_blanks(LineBlank{});
}

// The index of the plan's first text field, or the count of fields when none is one.
size_t first_text_field(const LineKeyPlan& plan) {
    size_t i = 0;
    while (i < plan.fields.size() && (plan.fields[i].flags & kNotText) != 0) ++i;
    return i;
}

}  // namespace

LineKeyPlan leading_collated_plan(const LineKeyPlan& plan) {
    LineKeyPlan leading = plan;
    const size_t first = first_text_field(plan);
    if (first < plan.fields.size()) {
        leading.fields.resize(first + 1);
        leading.last_resort = false;
    }
    return leading;
}

bool is_text_field(const LineKeyField& field) { return (field.flags & kNotText) == 0; }

bool collated_part_is_last(const LineKeyPlan& plan) {
    const size_t first = first_text_field(plan);
    return first == plan.fields.size() || (first + 1 == plan.fields.size() && !plan.last_resort);
}

int compare_collated_lines(const LineKeyPlan& plan, Bytes a, Bytes b, LineKeyScratch& scratch_a,
                           LineKeyScratch& scratch_b) {
    TR_CHECK(plan.collation() != nullptr);
    return with_fields(plan, [&](const auto& fields, auto blank) {
        return compare_collated(plan, fields, blank, a, b, scratch_a, scratch_b);
    });
}

bool same_inner_texts(const LineKeyPlan& plan, Bytes a, Bytes b) {
    if (plan.fields.empty()) return true;
    return with_fields(plan, [&](const auto& fields, auto blank) { return same_inner(plan, fields, blank, a, b); });
}

void append_line_key(const LineKeyPlan& plan, Bytes line, ByteBuffer& out, LineKeyScratch& scratch) {
    with_fields(plan, [&](const auto& fields, auto blank) { append_key(plan, fields, blank, line, out, scratch); });
}

void append_line_key(const LineKeyPlan& plan, Bytes line, ByteBuffer& out) {
    LineKeyScratch scratch;
    append_line_key(plan, line, out, scratch);
}

size_t last_resort_length(Bytes line) {
    return line.size() + static_cast<size_t>(std::count(line.begin(), line.end(), uint8_t{0})) + 2;
}

void append_line_from_key(Bytes key, size_t last_resort_length, bool reversed, ByteBuffer& out) {
    TR_CHECK(last_resort_length >= 2 && last_resort_length <= key.size());
    // The part is `escaped line 00 00`, each 00 of the line written 00 FF (all complemented
    // when reversed): the line is the part less its end, with every escape undone.
    const uint8_t zero = reversed ? 0xFF : 0x00;
    const Bytes part = key.subspan(key.size() - last_resort_length, last_resort_length - 2);
    const size_t at = out.size();
    const uint8_t* p = part.data();
    const uint8_t* const end = p + part.size();
    while (p != end) {
        const void* found = std::memchr(p, zero, static_cast<size_t>(end - p));
        const uint8_t* stop = found == nullptr ? end : static_cast<const uint8_t*>(found);
        out.append(p, static_cast<size_t>(stop - p));
        if (stop == end) break;
        TR_CHECK(stop + 1 != end);  // an escaped 00 is always followed by its FF
        out.push_back(zero);
        p = stop + 2;
    }
    if (reversed) complement_from(out, at);
}

}  // namespace tessarune::format
