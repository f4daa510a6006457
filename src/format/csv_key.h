// The sort key of a CSV record: its key columns' cells, each read as its key's type
// (typed_value.h) into the key's part, so that a cell and a JSON value read alike.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "base/expected.h"
#include "base/growable_array.h"
#include "format/json_number.h"
#include "format/record_key.h"

namespace tessarune::format {

// With keys: each names its column. Without: the key is every column as text, in the order of
// key_bytes of the tuple of their strings (the header's columns, or with no header every
// cell of the row), which the caller complements to reverse.
struct CsvKeyPlan {
    std::vector<size_t> columns;  // 0-based cell indexes, in key order; may repeat
    std::vector<RecordKey> keys;  // one per column, or none
    bool every_cell = false;      // no keys and no header: all of each row's cells
};

// Appends the key of the record whose cells are `fields` to `out`, or says why the record has
// none ("the row has no column 'x'", "the value of x is not a number: \"abc\"").
Expected<void, std::string> append_csv_key(const CsvKeyPlan& plan, std::span<const Bytes> fields, DecimalIntKey& ints,
                                           ByteBuffer& out);

}  // namespace tessarune::format
