// RecordKey: one key of a JSON Lines or CSV record as the user names it: where its value is
// (a dotted path, a column by name or by number), how the value reads (text, number,
// timestamp), which way it orders and where a null goes.
//
// A record's key bytes are its keys' parts one after the other. A part is a marker byte, then
// for a value its bytes, complemented when the key descends. Each value encoding is prefix-
// free, and so is its complement, so parts compare one at a time and a tie in one part moves
// on to the next. The marker is not complemented: it alone decides where nulls go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/growable_array.h"

namespace tessarune::format {

enum class KeyType : uint8_t {
    Text,       // JSON: the value in the order of key_bytes (numbers by value, then strings); CSV: the cell
    Number,     // a JSON number, or a CSV cell that reads as one; anything else is an input error
    Timestamp,  // an RFC 3339 / ISO 8601 text as its instant, or a number of seconds since 1970
};

enum class NullOrder : uint8_t {
    Low,    // below every value: first ascending, last descending
    First,
    Last,
};

struct RecordKey {
    std::vector<std::string> path = {};        // JSON: the steps; CSV by name: the one name
    std::optional<size_t> column = std::nullopt;  // CSV by number: from 0
    std::string name = {};                     // as messages name the key: the path or column as written
    KeyType type = KeyType::Text;
    bool typed = false;                 // the type was given with the key
    bool descending = false;
    NullOrder nulls = NullOrder::Low;
};

// Markers: a null first, any value, a null last.
inline constexpr uint8_t kNullFirstMarker = 0x01;
inline constexpr uint8_t kValueMarker = 0x02;
inline constexpr uint8_t kNullLastMarker = 0x03;

// The part of a null (a missing field, a JSON null, an empty CSV cell of a typed column).
inline void append_null_part(const RecordKey& key, ByteBuffer& out) {
    const bool first = key.nulls == NullOrder::First || (key.nulls == NullOrder::Low && !key.descending);
    out.push_back(first ? kNullFirstMarker : kNullLastMarker);
}

// A value's part: append_value_marker, the value's bytes, then finish_value_part with the
// size `out` had before the value's bytes.
inline void append_value_marker(ByteBuffer& out) { out.push_back(kValueMarker); }
inline void finish_value_part(const RecordKey& key, size_t value_start, ByteBuffer& out) {
    if (!key.descending) return;
    for (size_t i = value_start; i < out.size(); ++i) out.data()[i] = static_cast<uint8_t>(~out.data()[i]);
}

const char* key_type_name(KeyType type);

// Text keys, ascending, of dotted paths already split at '.', named by the path.
std::vector<RecordKey> text_keys_of_paths(std::vector<std::vector<std::string>> paths);

}  // namespace tessarune::format
