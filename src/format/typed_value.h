// A value of a JSON Lines or CSV record read as its key's type into the key's part
// (record_key.h): the one place where text, number and timestamp keys take their values, so
// that a JSON value and a CSV cell read alike.
#pragma once

#include <cstdint>
#include <string>

#include "base/growable_array.h"
#include "format/json_number.h"
#include "format/record_key.h"

namespace tessarune::format {

struct ScalarValue {
    enum class Kind : uint8_t {
        Missing,  // no such field (or a step through something that is no object)
        Null,
        False,
        True,
        Int,      // `negative`, `digits`: any size
        Int64,    // `int64`
        Float,    // `number`
        String,   // `text`: a JSON string, unescaped
        Cell,     // `text`: a CSV cell as it stands
        List,
        Object,
    };
    Kind kind = Kind::Missing;
    bool negative = false;
    Bytes digits;
    int64_t int64 = 0;
    double number = 0;
    Bytes text;
};

// Appends the key's part for `value`; false when the value is not of the key's type (a list
// for any type, a string for a number, a text that names no instant...), `out` then holding
// a partial part for the caller to cut off.
bool append_typed_part(const RecordKey& key, const ScalarValue& value, DecimalIntKey& ints, ByteBuffer& out);

// The value's bytes as key_bytes gives Python's value for it (None for a missing field or a
// null, bools as ints); false for a list or an object, which the caller words.
bool append_python_value(const ScalarValue& value, DecimalIntKey& ints, ByteBuffer& out);

// Why append_typed_part refused the value: "the value of amount is not a number: \"10\"".
std::string refusal_of(const RecordKey& key, const ScalarValue& value);

}  // namespace tessarune::format
