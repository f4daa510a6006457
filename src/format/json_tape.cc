#include "format/json_tape.h"

#include <cstring>
#include <limits>

#include "format/json_number.h"
#include "format/json_text.h"

namespace tessarune::format {
namespace {

bool is_blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

bool JsonTape::fail(const char* reason, size_t offset) {
    error_.reason = reason;
    error_.offset = offset;
    return false;
}

size_t JsonTape::skip_blanks(size_t p) const {
    while (p < text_.size() && is_blank(text_[p])) ++p;
    return p;
}

bool JsonTape::matches(size_t p, const char* word) const {
    const size_t n = std::strlen(word);
    return text_.size() - p >= n && std::memcmp(text_.data() + p, word, n) == 0;
}

bool JsonTape::open(JsonKind kind, size_t p) {
    if (open_.size() == kMaxDepth) return fail("nested more than 10000 deep", p);
    open_.push_back(nodes_.size());
    JsonNode& n = nodes_.emplace_back();
    n.kind = kind;
    return true;
}

void JsonTape::close() {
    nodes_[open_.back()].end = nodes_.size();
    open_.pop_back();
}

bool JsonTape::number(size_t& p) {
    const size_t start = p;
    JsonNode n;
    n.kind = JsonKind::Int;
    if (at(p) == '-') {
        n.negative = true;
        ++p;
    }
    n.begin = p;
    if (at(p) == '0') {
        ++p;
    } else if (at(p) >= '1' && at(p) <= '9') {
        while (is_digit(at(p))) ++p;
    } else {
        return fail("expecting a value", start);
    }
    n.end = p;
    // As Python's scanner: a '.' or an exponent without digits after it is left unread, for
    // the text after the number to be refused.
    if (at(p) == '.' && is_digit(at(p + 1))) {
        n.kind = JsonKind::Float;
        p += 2;
        while (is_digit(at(p))) ++p;
    }
    if (at(p) == 'e' || at(p) == 'E') {
        size_t q = p + 1;
        if (at(q) == '-' || at(q) == '+') ++q;
        if (is_digit(at(q))) {
            n.kind = JsonKind::Float;
            while (is_digit(at(q))) ++q;
            p = q;
        }
    }
    if (n.kind == JsonKind::Float) {
        const char* text = reinterpret_cast<const char*>(text_.data());
        n.number = json_float(text + start, text + p);
    } else if (n.end - n.begin > kMaxIntDigits) {
        return fail("an integer of more than 4300 digits", start);
    }
    nodes_.push_back(n);
    return true;
}

bool JsonTape::string(size_t& p) {
    const size_t start = p;
    JsonNode n;
    n.kind = JsonKind::String;
    n.begin = strings_.size();
    ++p;
    for (;;) {
        size_t run = p;
        while (run < text_.size() && text_[run] != '"' && text_[run] != '\\' && text_[run] >= 0x20) ++run;
        strings_.append(text_.data() + p, run - p);
        p = run;
        if (p == text_.size()) return fail("unterminated string", start);
        const uint8_t c = text_[p];
        if (c == '"') break;
        if (c != '\\') return fail("invalid control character in a string", p);
        if (p + 1 == text_.size()) return fail("unterminated string", start);
        const uint8_t e = text_[p + 1];
        uint8_t simple = 0;
        switch (e) {
            case '"': simple = '"'; break;
            case '\\': simple = '\\'; break;
            case '/': simple = '/'; break;
            case 'b': simple = '\b'; break;
            case 'f': simple = '\f'; break;
            case 'n': simple = '\n'; break;
            case 'r': simple = '\r'; break;
            case 't': simple = '\t'; break;
            case 'u': break;
            default: return fail("invalid escape", p);
        }
        if (e != 'u') {
            strings_.push_back(simple);
            p += 2;
            continue;
        }
        const int unit = text_.size() - p >= 6 ? hex4(text_.data() + p + 2) : -1;
        if (unit < 0) return fail("invalid \\uXXXX escape", p);
        p += 6;
        uint32_t code = static_cast<uint32_t>(unit);
        // An escaped high surrogate joins an escaped low one right after it; any other
        // surrogate stays a code point of its own, as Python keeps it.
        if (code >= 0xD800 && code <= 0xDBFF && text_.size() - p >= 6 && text_[p] == '\\' && text_[p + 1] == 'u') {
            const int low = hex4(text_.data() + p + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(low) - 0xDC00);
                p += 6;
            }
        }
        append_code_point(code, strings_);
    }
    ++p;
    n.end = strings_.size();
    nodes_.push_back(n);
    return true;
}

bool JsonTape::scalar(size_t& p) {
    JsonNode n;
    const auto word = [&](const char* w, JsonKind kind, double number) {
        n.kind = kind;
        n.number = number;
        nodes_.push_back(n);
        p += std::strlen(w);
        return true;
    };
    constexpr double kInf = std::numeric_limits<double>::infinity();
    switch (at(p)) {
        case '"': return string(p);
        case 'n': if (matches(p, "null")) return word("null", JsonKind::Null, 0); break;
        case 't': if (matches(p, "true")) return word("true", JsonKind::True, 0); break;
        case 'f': if (matches(p, "false")) return word("false", JsonKind::False, 0); break;
        case 'N': if (matches(p, "NaN")) return word("NaN", JsonKind::Float, std::numeric_limits<double>::quiet_NaN()); break;
        case 'I': if (matches(p, "Infinity")) return word("Infinity", JsonKind::Float, kInf); break;
        case '-':
            if (matches(p, "-Infinity")) return word("-Infinity", JsonKind::Float, -kInf);
            return number(p);
        default:
            if (is_digit(at(p))) return number(p);
    }
    return fail("expecting a value", p);
}

bool JsonTape::member_name(size_t& p) {
    if (at(p) != '"') return fail("expecting a property name in double quotes", p);
    if (!string(p)) return false;
    p = skip_blanks(p);
    if (at(p) != ':') return fail("expecting ':'", p);
    p = skip_blanks(p + 1);
    return true;
}

bool JsonTape::parse(Bytes text) {
    text_ = text;
    nodes_.clear();
    open_.clear();
    strings_.clear();
    size_t p = skip_blanks(0);
    bool want_value = true;
    for (;;) {
        if (want_value) {
            const uint8_t c = at(p);
            if (c == '[' || c == '{') {
                if (!open(c == '[' ? JsonKind::Array : JsonKind::Object, p)) return false;
                p = skip_blanks(p + 1);
                if (at(p) == (c == '[' ? ']' : '}')) {
                    close();
                    ++p;
                    want_value = false;
                } else if (c == '{' && !member_name(p)) {
                    return false;
                }
                continue;
            }
            if (!scalar(p)) return false;
            want_value = false;
            continue;
        }
        p = skip_blanks(p);
        if (open_.empty()) return p == text_.size() || fail("extra data", p);
        const bool in_array = nodes_[open_.back()].kind == JsonKind::Array;
        const uint8_t c = at(p);
        if (c == ',') {
            p = skip_blanks(p + 1);
            if (!in_array && !member_name(p)) return false;
            want_value = true;
        } else if (c == (in_array ? ']' : '}')) {
            close();
            ++p;
        } else {
            return fail(in_array ? "expecting ',' or ']'" : "expecting ',' or '}'", p);
        }
    }
}

}  // namespace tessarune::format
