// The header row of a CSV input, read off the front of its buffer: its cells, for the key plan
// and for comparing inputs' headers, and its bytes, written once at the top of the output.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "job/input_buffer.h"

namespace tessarune::job {

struct CsvHeaderRow {
    std::vector<std::string> cells;
    std::string row;     // as read, ended by a line break (one is added to a last row without)
    uint64_t lines = 0;  // the lines it spans
};

// Reads the header (filling the buffer as it needs) and drops it from the buffer; nullopt for
// an input with no row at all. A row that is not CSV fails with BadInput naming NAME:LINE.
EngineResult<std::optional<CsvHeaderRow>> take_csv_header(InputBuffer& buffer, uint8_t delimiter,
                                                          const std::string& name);

}  // namespace tessarune::job
