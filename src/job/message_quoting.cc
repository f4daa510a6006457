#include "job/message_quoting.h"

#include <algorithm>

namespace tessarune::job {
namespace {

bool is_printable(char c) { return c >= 0x20 && c < 0x7f; }

// Built by appending: g++ 12 warns falsely (-Wrestrict) about "x" + std::string + "x".
std::string between(char quote, std::string_view s) {
    std::string out(1, quote);
    out.append(s);
    out += quote;
    return out;
}

// A byte that is not printable: its C escape, else three octal digits.
void append_escaped(std::string& out, char c) {
    switch (c) {
        case '\a': out += "\\a"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        case '\v': out += "\\v"; return;
        default: break;
    }
    const auto b = static_cast<unsigned char>(c);
    out += '\\';
    out += static_cast<char>('0' + (b >> 6));
    out += static_cast<char>('0' + ((b >> 3) & 7));
    out += static_cast<char>('0' + (b & 7));
}

}  // namespace

std::string c_quote(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'' || c == '\\') {
            out += '\\';
            out += c;
        } else if (is_printable(c)) {
            out += c;
        } else {
            append_escaped(out, c);
        }
    }
    out += '\'';
    return out;
}

std::string shell_quote(std::string_view s) {
    const bool plain = std::all_of(s.begin(), s.end(), is_printable);
    if (plain && s.find('\'') == std::string_view::npos) return between('\'', s);
    if (plain && s.find_first_of("$`\\\"") == std::string_view::npos) return between('"', s);
    std::string out = "'";
    bool in_dollar = false;
    for (char c : s) {
        if (!is_printable(c)) {
            if (!in_dollar) out += "'$'";
            in_dollar = true;
            append_escaped(out, c);
            continue;
        }
        // A quote closes the quoting it is in, either kind, and opens a plain one after it.
        if (c == '\'') {
            out += "'\\''";
        } else {
            if (in_dollar) out += "''";
            out += c;
        }
        in_dollar = false;
    }
    out += '\'';
    return out;
}

}  // namespace tessarune::job
