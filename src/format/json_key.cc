#include "format/json_key.h"

#include <simdjson.h>

#include <cstring>
#include <utility>

#include "key/key_encoding.h"

namespace tessarune::format {

// simdjson's DOM parser, chosen by measurement on 150-byte event records (2 cores shared with
// other builds): parsing alone took about 300 ns a record with it and with yyjson 0.12 alike,
// and simdjson is in Debian 12 and 13 whereas yyjson is only in unstable. The DOM parser
// validates the whole line, as json.loads does, and picks its SIMD kernel at run time. The
// On-Demand parser validates only what it visits, and visiting everything took about 800 ns,
// since its header-only code compiles for baseline x86-64 unless built for one machine.
// Checked against simdjson 3.0.1 and 4.6.11.
struct JsonKeyReader::Parser {
    simdjson::dom::parser dom;
};

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// The value of four hex digits, or -1 when one is not a hex digit.
int hex4(const uint8_t* p) {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const uint8_t c = p[i];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
            digit = (c | 0x20) - 'a' + 10;
        } else {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

bool is_high_surrogate(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// True when every \u escape of a surrogate is a high one followed at once by an escaped low
// one, and every escape is complete. Python keeps a lone surrogate as a code point of its own,
// which parser versions treat differently, so such lines, and any escape that looks odd, go
// the reference way. Backslashes appear only inside strings of a line the parser accepts, and
// each begins an escape there, so stepping from escape to escape reads them as the parser does.
bool surrogates_paired(Bytes line) {
    const uint8_t* p = line.data();
    const uint8_t* const end = p + line.size();
    while (p < end) {
        p = static_cast<const uint8_t*>(std::memchr(p, '\\', static_cast<size_t>(end - p)));
        if (p == nullptr) return true;
        if (end - p < 2) return false;
        if (p[1] != 'u') {
            p += 2;
            continue;
        }
        if (end - p < 6) return false;
        const int unit = hex4(p + 2);
        p += 6;
        if (unit < 0 || is_low_surrogate(unit)) return false;
        if (is_high_surrogate(unit)) {
            if (end - p < 6 || p[0] != '\\' || p[1] != 'u' || !is_low_surrogate(hex4(p + 2))) return false;
            p += 6;
        }
    }
    return true;
}

// Python reads a UTF-8 byte order mark in bytes as an encoding signature; the parser may not.
bool starts_with_bom(Bytes line) {
    return line.size() >= 3 && line[0] == 0xEF && line[1] == 0xBB && line[2] == 0xBF;
}

// The key of a number, string, bool (an int to Python) or null; false for anything else.
bool append_scalar(element value, ByteBuffer& out) {
    switch (value.type()) {
        case element_type::INT64: {
            int64_t x = 0;
            if (value.get(x) != simdjson::SUCCESS) return false;
            append_number_i128(x, out);
            return true;
        }
        case element_type::UINT64: {
            uint64_t x = 0;
            if (value.get(x) != simdjson::SUCCESS) return false;
            append_number_i128(x, out);
            return true;
        }
        case element_type::DOUBLE: {
            double x = 0;
            if (value.get(x) != simdjson::SUCCESS) return false;
            append_number_f64(x, out);
            return true;
        }
        case element_type::STRING: {
            std::string_view s;
            if (value.get(s) != simdjson::SUCCESS) return false;
            append_escaped(TAG_STR, Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()), out);
            return true;
        }
        case element_type::BOOL: {
            bool b = false;
            if (value.get(b) != simdjson::SUCCESS) return false;
            append_number_i128(b ? 1 : 0, out);
            return true;
        }
        case element_type::NULL_VALUE:
            out.push_back(TAG_NONE);
            return true;
        default:
            // Objects, arrays, and the big integers that simdjson 4 can keep as digits when
            // asked to (it is not asked here, but its enumeration has them).
            return false;
    }
}

// The whole value as the key: a scalar, or a list of keyable values. The key walk refuses an
// object anywhere in it and a list at depth KEY_MAX_DEPTH.
bool append_whole(element value, int depth, ByteBuffer& out) {
    if (value.type() != element_type::ARRAY) return append_scalar(value, out);
    if (depth >= KEY_MAX_DEPTH) return false;
    simdjson::dom::array items;
    if (value.get(items) != simdjson::SUCCESS) return false;
    out.push_back(TAG_LIST);
    for (element item : items) {
        if (!append_whole(item, depth + 1, out)) return false;
    }
    out.push_back(TAG_END);
    return true;
}

// The value at `path` as Python's chain of dict.get finds it: false for None, that is a step
// into something other than an object, a missing field or a null on the way. Python keeps the
// last of duplicate fields, so every field of each object is looked at.
bool value_at(element root, const std::vector<std::string>& path, element& found) {
    element value = root;
    for (const std::string& step : path) {
        simdjson::dom::object fields;
        if (value.get(fields) != simdjson::SUCCESS) return false;
        bool present = false;
        for (simdjson::dom::key_value_pair field : fields) {
            if (field.key == step) {
                value = field.value;
                present = true;
            }
        }
        if (!present || value.is_null()) return false;
    }
    found = value;
    return true;
}

}  // namespace

JsonKeyReader::JsonKeyReader(std::vector<std::vector<std::string>> paths)
    : paths_(std::move(paths)), parser_(std::make_unique<Parser>()) {}

JsonKeyReader::~JsonKeyReader() = default;
JsonKeyReader::JsonKeyReader(JsonKeyReader&&) noexcept = default;
JsonKeyReader& JsonKeyReader::operator=(JsonKeyReader&&) noexcept = default;

bool JsonKeyReader::append_key(Bytes line, ByteBuffer& out) {
    if (starts_with_bom(line) || !surrogates_paired(line)) return false;

    padded_.clear();
    padded_.reserve(line.size() + simdjson::SIMDJSON_PADDING);
    if (!line.empty()) std::memcpy(padded_.data(), line.data(), line.size());
    std::memset(padded_.data() + line.size(), 0, simdjson::SIMDJSON_PADDING);
    element root;
    // Any error declines the line: what the parser rejects is either not JSON to Python as
    // well, or a form named above that Python reads and the parser cannot; both go the
    // reference way, which gives today's key or error.
    if (parser_->dom.parse(padded_.data(), line.size(), false).get(root) != simdjson::SUCCESS) return false;

    const size_t start = out.size();
    bool keyed = true;
    if (paths_.empty()) {
        keyed = root.type() != element_type::OBJECT && append_whole(root, 0, out);
    } else {
        out.push_back(TAG_TUPLE);
        for (const std::vector<std::string>& path : paths_) {
            element value;
            if (!value_at(root, path, value)) {
                out.push_back(TAG_NONE);
            } else if (!append_scalar(value, out)) {
                keyed = false;
                break;
            }
        }
        out.push_back(TAG_END);
    }
    if (!keyed) out.set_size(start);
    return keyed;
}

}  // namespace tessarune::format
