// The sort key of a CSV record: its key columns' cells, as text or as numbers.
//
// As text the key is exactly the key bytes of the tuple of the cells' strings (key/key_encoding.h),
// so it orders as Python orders those tuples. As numbers each cell is read as the command line
// reads -n on lines (number_key.h: leading blanks, '-', digits, one decimal point; anything else,
// an empty cell too, reads as 0), and the parts are concatenated: they are prefix-free.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "base/expected.h"
#include "base/growable_array.h"

namespace tessarune::format {

struct CsvKeyPlan {
    std::vector<size_t> columns;  // 0-based cell indexes, in key order; may repeat
    bool numeric = false;
};

// A record with fewer cells than a key column needs.
struct CsvMissingColumn {
    size_t plan_index;  // the first such column's position in CsvKeyPlan::columns
};

// Appends the key of the record whose cells are `fields` to `out`; on a missing column
// appends nothing.
Expected<void, CsvMissingColumn> append_csv_key(const CsvKeyPlan& plan, std::span<const Bytes> fields,
                                                ByteBuffer& out);

}  // namespace tessarune::format
