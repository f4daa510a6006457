// Numbers as the traditional sort command reads them (-n): leading blanks, an optional '-',
// digits, and at most one decimal point with more digits; no '+', no exponent. In the C locale
// there is no thousands separator; a locale's may follow any digit of the whole part, or stand
// among its leading zeros, and is dropped. Text that holds no digit there reads as zero, and
// so does -0.
//
// The bytes are prefix-free and order-preserving (compared as unsigned bytes, a proper prefix
// first), so a key made of several parts compares as the tuple of its parts would:
//
//   zero:      01
//   positive:  02 len(4, big-endian) whole-digits fraction-digits 00
//   negative:  00 ~len(4) each digit d as '9' - d + '0'           FF
//
// where the whole digits lose their leading zeros and the fraction its trailing zeros. The
// terminator sorts below (positive) or above (negative) every digit, so 1 < 1.5 and -1 > -1.5.
#pragma once

#include <cstdint>

#include "base/growable_array.h"

namespace tessarune::format {

// How a locale writes numbers: '.' and no thousands separator in the C locale.
struct NumberSyntax {
    uint8_t decimal_point = '.';
    int thousands_separator = -1;  // a byte, or -1: none (the locale has none, or one of several bytes)
};

// Appends the number key of the number that `text` starts with. `blank` tells which bytes
// count as the leading blanks to skip.
template <typename IsBlank>
void append_number_key(Bytes text, IsBlank blank, ByteBuffer& out);

// The blanks of lines that end in a newline: space and tab.
inline bool is_line_blank(uint8_t c) { return c == ' ' || c == '\t'; }
// With zero-ended lines a newline is just another blank.
inline bool is_zline_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n'; }

// The parts of a number as read: where its whole and fraction digits lie in the text.
struct NumberText {
    bool negative = false;
    Bytes whole;     // without leading zeros
    Bytes fraction;  // without trailing zeros
    size_t end = 0;  // where the number ends in the text
};

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Reads a decimal point at i and the digits after it into r.fraction (without trailing zeros);
// returns where they end, or i when no point is there.
inline size_t read_fraction(Bytes text, size_t i, uint8_t decimal_point, NumberText& r) {
    const size_t n = text.size();
    if (i >= n || text[i] != decimal_point) return i;
    const size_t frac_start = ++i;
    while (i < n && is_digit(text[i])) ++i;
    size_t f = i;
    while (f > frac_start && text[f - 1] == '0') --f;
    r.fraction = text.subspan(frac_start, f - frac_start);
    return i;
}

// Skips the leading blanks and reads a '-' into r.negative; returns where the digits may start.
template <typename IsBlank>
size_t read_sign(Bytes text, IsBlank blank, NumberText& r) {
    size_t i = 0;
    while (i < text.size() && blank(text[i])) ++i;
    if (i < text.size() && text[i] == '-') {
        r.negative = true;
        ++i;
    }
    return i;
}

template <typename IsBlank>
NumberText read_number(Bytes text, IsBlank blank, uint8_t decimal_point = '.') {
    const size_t n = text.size();
    NumberText r;
    size_t i = read_sign(text, blank, r);
    const size_t whole_start = i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i;
    size_t w = whole_start;
    while (w < i && text[w] == '0') ++w;
    r.whole = text.subspan(w, i - w);
    i = read_fraction(text, i, decimal_point, r);
    r.end = i;
    return r;
}

// The same in a locale's syntax. With a thousands separator the whole digits are gathered into
// `digits`; `end` is then where a unit would follow (-h), which a separator passes only between
// digits.
template <typename IsBlank>
NumberText read_number(Bytes text, IsBlank blank, const NumberSyntax& syntax, ByteBuffer& digits) {
    if (syntax.thousands_separator < 0) return read_number(text, blank, syntax.decimal_point);
    const int separator = syntax.thousands_separator;
    const size_t n = text.size();
    NumberText r;
    size_t i = read_sign(text, blank, r);
    const size_t number_start = i;
    while (i < n && (text[i] == '0' || text[i] == separator)) ++i;
    digits.clear();
    while (i < n && is_digit(text[i])) {
        digits.push_back(text[i]);
        ++i;
        while (i < n && text[i] == separator) ++i;
    }
    r.whole = digits.span();
    read_fraction(text, i, syntax.decimal_point, r);
    size_t end = number_start;
    for (;;) {
        const size_t digits_from = end;
        while (end < n && is_digit(text[end])) ++end;
        if (end > digits_from && end + 1 < n && text[end] == separator && is_digit(text[end + 1])) {
            ++end;
            continue;
        }
        break;
    }
    if (end < n && text[end] == syntax.decimal_point) {
        ++end;
        while (end < n && is_digit(text[end])) ++end;
    }
    r.end = end;
    return r;
}

// Appends the number key of an already read number.
void append_number_key(const NumberText& number, ByteBuffer& out);

// Human-readable numbers (-h): a number as -n reads it, then an SI unit right after it (K or k,
// M, G, T, P, E, Z, Y, R, Q: powers of 1000 or 1024, which order alike). Any zero is zero,
// whatever its unit; other numbers order by sign, then unit, then value:
//
//   negative:  00 ~unit number-key     zero: 01     positive:  02 unit number-key
//
// where unit is 0 for none, 1 for K, ... 10 for Q. `after` is the byte right after the number
// (0 at the end of the text).
void append_human_number_key(const NumberText& number, uint8_t after, ByteBuffer& out);

template <typename IsBlank>
void append_human_number_key(Bytes text, IsBlank blank, ByteBuffer& out) {
    const NumberText number = read_number(text, blank);
    append_human_number_key(number, number.end < text.size() ? text[number.end] : 0, out);
}

template <typename IsBlank>
void append_number_key(Bytes text, IsBlank blank, ByteBuffer& out) {
    append_number_key(read_number(text, blank), out);
}

}  // namespace tessarune::format
