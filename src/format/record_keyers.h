// The keyers of the input formats: lines with key fields, JSON Lines, CSV.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "format/csv_key.h"
#include "format/line_key.h"
#include "format/record_key.h"
#include "format/record_keyer.h"

namespace tessarune::format {

// Lines ending in `separator`, keyed by the plan; the payload is the line with its separator,
// or, when the plan has a last resort, 4 bytes (little-endian) that say how long the key's
// last-resort part is: the line is stored once, inside its key.
std::unique_ptr<RecordKeyer> make_line_keyer(LineKeyPlan plan, uint8_t separator);

// Appends the line, with its separator, of a record that make_line_keyer(plan, separator) made.
void append_keyed_line(const LineKeyPlan& plan, uint8_t separator, Bytes key, Bytes payload, ByteBuffer& out);

// JSON Lines keyed by the values at the keys' paths, each read as its key's type, or by the
// whole value when there are none. A line of blanks alone is skipped; a line the native reading cannot key
// exactly, or that is not JSON, is Declined, for the reference way to key or refuse.
std::unique_ptr<RecordKeyer> make_json_keyer(std::vector<RecordKey> keys, bool python_tuple = false);

// CSV records as Python's csv module reads them, keyed by the plan's columns.
std::unique_ptr<RecordKeyer> make_csv_keyer(uint8_t delimiter, CsvKeyPlan plan);

}  // namespace tessarune::format
