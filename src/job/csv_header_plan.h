// The CSV key plan, made from the first input's header: the key columns named by the job,
// or every column, and their names as messages quote them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "format/csv_key.h"

namespace tessarune::job {

struct CsvHeaderPlan {
    format::CsvKeyPlan plan;
    std::vector<std::string> column_names;  // quoted, one per key column
};

// The plan, or why it cannot be made ("no column 'x' in the header").
Expected<CsvHeaderPlan, std::string> plan_csv_key(const std::vector<std::string>& header,
                                                  const std::vector<std::string>& columns, bool numeric);

// Text as Python's repr of a str shows it (the CSV messages' way of quoting names): 'name',
// or "name's" when it holds a single quote and no double one; control characters escaped.
std::string python_repr(std::string_view text);

}  // namespace tessarune::job
