#include "format/typed_value.h"

#include <cstdio>
#include <optional>
#include <string_view>

#include "format/number_text.h"
#include "format/timestamp_key.h"
#include "key/key_encoding.h"

namespace tessarune::format {
namespace {

using Kind = ScalarValue::Kind;

std::string_view as_text(Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

bool is_null(const ScalarValue& v, KeyType type) {
    if (v.kind == Kind::Missing || v.kind == Kind::Null) return true;
    // An empty cell is the empty text, but no number and no instant.
    return v.kind == Kind::Cell && type != KeyType::Text && read_number_text(v.text).kind == NumberTextKind::Empty;
}

// Text keys order every kind as key_bytes orders Python's values: bools are the ints 0 and 1.
bool append_text(const ScalarValue& v, DecimalIntKey& ints, ByteBuffer& out) {
    switch (v.kind) {
        case Kind::False: append_number_i128(0, out); return true;
        case Kind::True: append_number_i128(1, out); return true;
        case Kind::Int: ints.append(v.negative, v.digits, out); return true;
        case Kind::Int64: append_number_i128(v.int64, out); return true;
        case Kind::Float: append_number_f64(v.number, out); return true;
        case Kind::String:
        case Kind::Cell: append_escaped(TAG_STR, v.text, out); return true;
        default: return false;
    }
}

bool append_number(const ScalarValue& v, DecimalIntKey& ints, ByteBuffer& out) {
    switch (v.kind) {
        case Kind::Int: ints.append(v.negative, v.digits, out); return true;
        case Kind::Int64: append_number_i128(v.int64, out); return true;
        case Kind::Float: append_number_f64(v.number, out); return true;
        case Kind::Cell: return append_number_text_key(v.text, ints, out);
        default: return false;
    }
}

std::optional<Instant> instant_of(const ScalarValue& v) {
    switch (v.kind) {
        case Kind::Int: return instant_from_epoch_int(v.negative, v.digits);
        case Kind::Int64: return instant_from_epoch_int64(v.int64);
        case Kind::Float: return instant_from_epoch_double(v.number);
        case Kind::String: return parse_timestamp(as_text(v.text));
        case Kind::Cell: {
            const TextNumber number = read_number_text(v.text);
            if (number.kind == NumberTextKind::Int || number.kind == NumberTextKind::Float) {
                return instant_from_number_text(number);
            }
            return parse_timestamp(as_text(v.text));
        }
        default: return std::nullopt;
    }
}

// A value as a message shows it: JSON's own spelling, a string quoted, at most 60 bytes of it.
std::string shown(const ScalarValue& v) {
    constexpr size_t kMost = 60;
    switch (v.kind) {
        case Kind::False: return "false";
        case Kind::True: return "true";
        case Kind::Int: return (v.negative ? "-" : "") + std::string(as_text(v.digits));
        case Kind::Int64: return std::to_string(v.int64);
        case Kind::Float: {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", v.number);
            return buf;
        }
        case Kind::List: return "a list";
        case Kind::Object: return "an object";
        case Kind::String:
        case Kind::Cell: {
            std::string out = "\"";
            const std::string_view s = as_text(v.text);
            for (size_t i = 0; i < s.size() && i < kMost; ++i) {
                const auto c = static_cast<unsigned char>(s[i]);
                if (c == '"' || c == '\\') out += '\\';
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
            }
            return out + (s.size() > kMost ? "...\"" : "\"");
        }
        default: return "null";
    }
}

}  // namespace

bool append_typed_part(const RecordKey& key, const ScalarValue& value, DecimalIntKey& ints, ByteBuffer& out) {
    if (is_null(value, key.type)) {
        append_null_part(key, out);
        return true;
    }
    append_value_marker(out);
    const size_t start = out.size();
    switch (key.type) {
        case KeyType::Text:
            if (!append_text(value, ints, out)) return false;
            break;
        case KeyType::Number:
            if (!append_number(value, ints, out)) return false;
            break;
        case KeyType::Timestamp: {
            const std::optional<Instant> instant = instant_of(value);
            if (!instant) return false;
            append_instant(*instant, out);
            break;
        }
    }
    finish_value_part(key, start, out);
    return true;
}

bool append_python_value(const ScalarValue& value, DecimalIntKey& ints, ByteBuffer& out) {
    if (value.kind == Kind::Missing || value.kind == Kind::Null) {
        out.push_back(TAG_NONE);
        return true;
    }
    return append_text(value, ints, out);
}

std::string refusal_of(const RecordKey& key, const ScalarValue& value) {
    if (key.type == KeyType::Text) return "the value of " + key.name + " is " + shown(value) + ", which is no sort key";
    return "the value of " + key.name + " is not a " + key_type_name(key.type) + ": " + shown(value);
}

}  // namespace tessarune::format
