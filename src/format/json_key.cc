#include "format/json_key.h"

#include <simdjson.h>

#include <array>
#include <charconv>
#include <cstring>
#include <utility>

#include "base/engine_error.h"
#include "format/json_number.h"
#include "format/json_tape.h"
#include "format/json_text.h"
#include "format/typed_value.h"
#include "key/key_encoding.h"

namespace tessarune::format {

// simdjson's DOM parser, chosen by measurement on 150-byte event records (2 cores shared with
// other builds): parsing alone took about 300 ns a record with it and with yyjson 0.12 alike,
// and simdjson is in Debian 12 and 13 whereas yyjson is only in unstable. The DOM parser
// validates the whole line, as json.loads does, and picks its SIMD kernel at run time. The
// On-Demand parser validates only what it visits, and visiting everything took about 800 ns,
// since its header-only code compiles for baseline x86-64 unless built for one machine.
// Checked against simdjson 3.0.1 and 4.6.11.
// The lines it cannot give Python's value for go to JsonTape, which is slower but reads
// exactly what json.loads reads.
struct JsonKeyReader::Parser {
    simdjson::dom::parser dom;
    JsonTape tape;
    DecimalIntKey ints;
    ByteBuffer decoded;  // UTF-16 and UTF-32 lines as UTF-8
};

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

bool is_high_surrogate(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// True when every \u escape of a surrogate is a high one followed at once by an escaped low
// one, and every escape is complete. Python keeps a lone surrogate as a code point of its own,
// which parser versions treat differently, so such lines, and any escape that looks odd, go
// the exact way. Backslashes appear only inside strings of a line the parser accepts, and
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

// Python reads a UTF-8 byte order mark in bytes as an encoding signature; simdjson may not.
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

// A scalar as typed keys read it. `digits` holds the digits of a uint64 beyond int64's range
// for as long as the value is used.
ScalarValue scalar_of(element value, std::array<char, 24>& digits) {
    ScalarValue v;
    switch (value.type()) {
        case element_type::INT64:
            v.kind = ScalarValue::Kind::Int64;
            TR_CHECK(value.get(v.int64) == simdjson::SUCCESS);
            break;
        case element_type::UINT64: {
            uint64_t x = 0;
            TR_CHECK(value.get(x) == simdjson::SUCCESS);
            const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), x).ptr;
            v.kind = ScalarValue::Kind::Int;
            v.digits = Bytes(reinterpret_cast<const uint8_t*>(digits.data()), static_cast<size_t>(end - digits.data()));
            break;
        }
        case element_type::DOUBLE:
            v.kind = ScalarValue::Kind::Float;
            TR_CHECK(value.get(v.number) == simdjson::SUCCESS);
            break;
        case element_type::STRING: {
            std::string_view s;
            TR_CHECK(value.get(s) == simdjson::SUCCESS);
            v.kind = ScalarValue::Kind::String;
            v.text = Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
            break;
        }
        case element_type::BOOL: {
            bool b = false;
            TR_CHECK(value.get(b) == simdjson::SUCCESS);
            v.kind = b ? ScalarValue::Kind::True : ScalarValue::Kind::False;
            break;
        }
        case element_type::NULL_VALUE: v.kind = ScalarValue::Kind::Null; break;
        case element_type::ARRAY: v.kind = ScalarValue::Kind::List; break;
        default: v.kind = ScalarValue::Kind::Object; break;
    }
    return v;
}

// The value at `path` as Python's chain of dict.get finds it: Missing for a field that is not
// there or a step into something other than an object (a null on the way is one). `present`:
// the last step's field is there, even as null. Python keeps the last of duplicate fields, so
// every field of each object is looked at.
ScalarValue value_at(element root, const std::vector<std::string>& path, std::array<char, 24>& digits,
                     bool& present) {
    element value = root;
    present = false;
    for (const std::string& step : path) {
        simdjson::dom::object fields;
        if (value.get(fields) != simdjson::SUCCESS) return ScalarValue{};
        bool here = false;
        for (simdjson::dom::key_value_pair field : fields) {
            if (field.key == step) {
                value = field.value;
                here = true;
            }
        }
        if (!here) return ScalarValue{};
    }
    present = true;
    return scalar_of(value, digits);
}

constexpr const char* kWholeObjectMessage = "an object has no order of its own: name fields with -k";
// The key walk's own words, for what it refuses in a whole value.
constexpr const char* kObjectInKeyMessage =
    "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not dict";
constexpr const char* kKeyTooDeepMessage = "a sort key is nested more than 256 deep";

void append_tape_scalar(const JsonTape& tape, const JsonNode& n, DecimalIntKey& ints, ByteBuffer& out) {
    switch (n.kind) {
        case JsonKind::Null: out.push_back(TAG_NONE); break;
        case JsonKind::False: append_number_i128(0, out); break;
        case JsonKind::True: append_number_i128(1, out); break;
        case JsonKind::Int: ints.append(n.negative, tape.digits(n), out); break;
        case JsonKind::Float: append_number_f64(n.number, out); break;
        case JsonKind::String: append_escaped(TAG_STR, tape.string(n), out); break;
        case JsonKind::Array:
        case JsonKind::Object: TR_CHECK(false); break;
    }
}

// The key walk over the value at node `i`: nullptr, or what it refuses first in document
// order. Recursion stops at KEY_MAX_DEPTH, however deep the tape goes.
const char* append_tape_whole(const JsonTape& tape, size_t i, int depth, DecimalIntKey& ints, ByteBuffer& out) {
    const JsonNode& n = tape.node(i);
    if (n.kind == JsonKind::Object) return kObjectInKeyMessage;
    if (n.kind != JsonKind::Array) {
        append_tape_scalar(tape, n, ints, out);
        return nullptr;
    }
    if (depth >= KEY_MAX_DEPTH) return kKeyTooDeepMessage;
    out.push_back(TAG_LIST);
    for (size_t item = i + 1; item < n.end; item = tape.skip(item)) {
        if (const char* refused = append_tape_whole(tape, item, depth + 1, ints, out)) return refused;
    }
    out.push_back(TAG_END);
    return nullptr;
}

// The node at `path` as Python's chain of dict.get finds it, the last of duplicate names
// winning, as a scalar (Missing when it is not there); `present` as for value_at.
ScalarValue tape_value_at(const JsonTape& tape, const std::vector<std::string>& path, bool& present) {
    size_t at = 0;
    present = false;
    for (const std::string& step : path) {
        const JsonNode& object = tape.node(at);
        if (object.kind != JsonKind::Object) return ScalarValue{};
        size_t found = SIZE_MAX;
        for (size_t name = at + 1; name < object.end; name = tape.skip(name + 1)) {
            const Bytes text = tape.string(tape.node(name));
            // An empty name may have no storage at all: memcmp must not see its null pointer.
            if (text.size() == step.size() && (step.empty() || std::memcmp(text.data(), step.data(), step.size()) == 0)) {
                found = name + 1;
            }
        }
        if (found == SIZE_MAX) return ScalarValue{};
        at = found;
    }
    present = true;
    const JsonNode& n = tape.node(at);
    ScalarValue v;
    switch (n.kind) {
        case JsonKind::Null: v.kind = ScalarValue::Kind::Null; break;
        case JsonKind::False: v.kind = ScalarValue::Kind::False; break;
        case JsonKind::True: v.kind = ScalarValue::Kind::True; break;
        case JsonKind::Int:
            v.kind = ScalarValue::Kind::Int;
            v.negative = n.negative;
            v.digits = tape.digits(n);
            break;
        case JsonKind::Float: v.kind = ScalarValue::Kind::Float; v.number = n.number; break;
        case JsonKind::String: v.kind = ScalarValue::Kind::String; v.text = tape.string(n); break;
        case JsonKind::Array: v.kind = ScalarValue::Kind::List; break;
        case JsonKind::Object: v.kind = ScalarValue::Kind::Object; break;
    }
    return v;
}

}  // namespace

JsonKeyReader::JsonKeyReader(std::vector<RecordKey> keys, bool python_tuple)
    : keys_(std::move(keys)), python_tuple_(python_tuple), found_(keys_.size(), false), parser_(std::make_unique<Parser>()) {}

JsonKeyReader::~JsonKeyReader() = default;
JsonKeyReader::JsonKeyReader(JsonKeyReader&&) noexcept = default;
JsonKeyReader& JsonKeyReader::operator=(JsonKeyReader&&) noexcept = default;

bool JsonKeyReader::append_key(Bytes line, ByteBuffer& out) {
    padded_.clear();
    padded_.reserve(line.size() + simdjson::SIMDJSON_PADDING);
    if (!line.empty()) std::memcpy(padded_.data(), line.data(), line.size());
    std::memset(padded_.data() + line.size(), 0, simdjson::SIMDJSON_PADDING);
    const size_t start = out.size();
    if (!starts_with_bom(line) && surrogates_paired(line) && append_fast(line.size(), out)) return true;
    out.set_size(start);
    if (append_exact(line.size(), out)) return true;
    out.set_size(start);
    return false;
}

// simdjson's reading, for a line it accepts and whose key holds nothing Python reads
// differently; false for any other line, which the exact reading then keys or refuses.
bool JsonKeyReader::append_fast(size_t length, ByteBuffer& out) {
    element root;
    if (parser_->dom.parse(padded_.data(), length, false).get(root) != simdjson::SUCCESS) return false;
    if (keys_.empty()) return root.type() != element_type::OBJECT && append_whole(root, 0, out);
    std::array<char, 24> digits;
    if (python_tuple_) out.push_back(TAG_TUPLE);
    for (size_t i = 0; i < keys_.size(); ++i) {
        bool present = false;
        const ScalarValue value = value_at(root, keys_[i].path, digits, present);
        if (present) found_[i] = true;
        if (!append_value(i, value, out)) return false;
    }
    if (python_tuple_) out.push_back(TAG_END);
    return true;
}

bool JsonKeyReader::append_exact(size_t length, ByteBuffer& out) {
    // json.loads is given the line with its newline, which decides some encodings.
    padded_.data()[length] = '\n';
    const Bytes bytes(padded_.data(), length + 1);
    JsonText text;
    std::string reason;
    if (!decode_json_bytes(bytes, parser_->decoded, text, reason)) {
        error_ = "not JSON: " + reason;
        return false;
    }
    JsonTape& tape = parser_->tape;
    if (!tape.parse(text.text)) {
        error_ = "not JSON: " + tape.error().reason;
        if (text.is_input) {
            const size_t column = static_cast<size_t>(text.text.data() - bytes.data()) + tape.error().offset + 1;
            error_ += " at column " + std::to_string(column);
        }
        return false;
    }
    if (keys_.empty()) {
        if (tape.node(0).kind == JsonKind::Object) {
            error_ = kWholeObjectMessage;
            return false;
        }
        if (const char* refused = append_tape_whole(tape, 0, 0, parser_->ints, out)) {
            error_ = refused;
            return false;
        }
        return true;
    }
    if (python_tuple_) out.push_back(TAG_TUPLE);
    for (size_t i = 0; i < keys_.size(); ++i) {
        bool present = false;
        const ScalarValue value = tape_value_at(tape, keys_[i].path, present);
        if (present) found_[i] = true;
        if (!append_value(i, value, out)) {
            error_ = refusal_of(keys_[i], value);
            return false;
        }
    }
    if (python_tuple_) out.push_back(TAG_END);
    return true;
}

bool JsonKeyReader::append_value(size_t key, const ScalarValue& value, ByteBuffer& out) {
    if (python_tuple_) return append_python_value(value, parser_->ints, out);
    return append_typed_part(keys_[key], value, parser_->ints, out);
}

}  // namespace tessarune::format
