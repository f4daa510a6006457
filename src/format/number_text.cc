#include "format/number_text.h"

#include "key/key_encoding.h"

namespace tessarune::format {
namespace {

bool is_blank(uint8_t c) { return c == ' ' || c == '\t'; }
bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

Bytes strip_blanks(Bytes cell) {
    size_t begin = 0;
    size_t end = cell.size();
    while (begin < end && is_blank(cell[begin])) ++begin;
    while (end > begin && is_blank(cell[end - 1])) --end;
    return cell.subspan(begin, end - begin);
}

// Where the run of digits from i ends.
size_t skip_digits(Bytes text, size_t i) {
    while (i < text.size() && is_digit(text[i])) ++i;
    return i;
}

}  // namespace

TextNumber read_number_text(Bytes cell) {
    TextNumber r;
    r.text = strip_blanks(cell);
    const Bytes t = r.text;
    const size_t n = t.size();
    if (n == 0) return r;
    r.kind = NumberTextKind::NotANumber;

    size_t i = 0;
    if (t[i] == '+' || t[i] == '-') ++i;
    const size_t sign_end = i;
    const size_t whole_end = skip_digits(t, i);
    bool has_digits = whole_end > i;
    bool is_int = true;
    i = whole_end;
    if (i < n && t[i] == '.') {
        is_int = false;
        const size_t fraction_end = skip_digits(t, i + 1);
        has_digits = has_digits || fraction_end > i + 1;
        i = fraction_end;
    }
    if (!has_digits) return r;  // "", "+", ".", "-.", "e5"
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        is_int = false;
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        const size_t exponent_end = skip_digits(t, i);
        if (exponent_end == i) return r;  // "1e", "1e+"
        i = exponent_end;
    }
    if (i != n) return r;

    if (is_int) {
        r.kind = NumberTextKind::Int;
        r.negative = t[0] == '-';
        size_t first = sign_end;
        while (first + 1 < whole_end && t[first] == '0') ++first;
        r.digits = t.subspan(first, whole_end - first);
        return r;
    }
    r.kind = NumberTextKind::Float;
    // json_float reads the same digits; it knows a leading '-' but not '+'.
    const char* begin = reinterpret_cast<const char*>(t.data());
    if (t[0] == '+') ++begin;
    r.value = json_float(begin, reinterpret_cast<const char*>(t.data() + n));
    return r;
}

bool append_number_text_key(Bytes cell, DecimalIntKey& ints, ByteBuffer& out) {
    const TextNumber number = read_number_text(cell);
    switch (number.kind) {
        case NumberTextKind::Int:
            ints.append(number.negative, number.digits, out);
            return true;
        case NumberTextKind::Float:
            append_number_f64(number.value, out);
            return true;
        case NumberTextKind::Empty:
        case NumberTextKind::NotANumber:
            break;
    }
    return false;
}

}  // namespace tessarune::format
