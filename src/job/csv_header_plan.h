// The CSV key plan: the keys' columns found in the first input's header (or numbered, for
// inputs without one), or every column when no key is named.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "format/csv_key.h"

namespace tessarune::job {

// The plan, or why it cannot be made ("no column 'x' in the header"). `header` is null for
// inputs without one: keys are then columns by number alone.
Expected<format::CsvKeyPlan, std::string> plan_csv_key(const std::vector<std::string>* header,
                                                       const std::vector<format::RecordKey>& keys);

// Text as Python's repr of a str shows it (the CSV messages' way of quoting names): 'name',
// or "name's" when it holds a single quote and no double one; control characters escaped.
std::string python_repr(std::string_view text);

}  // namespace tessarune::job
