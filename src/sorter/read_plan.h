// The plan of a read's merge passes: which runs a pass merges, and how many runs a merge
// may open. (Filling::merge_pass and Filling::finish carry it out.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "run/file_ops.h"
#include "run/run_info.h"

namespace tessarune {

// The start of the window of k consecutive runs whose byte counts add up to the least; the
// first such window on a tie. REQUIRES: 1 <= k <= runs.size().
size_t lightest_window(const std::vector<RunInfo>& runs, size_t k);

// How many runs the next pass merges: just enough to come down to target, at most widest.
// REQUIRES: run_count > target >= 2, widest >= 2. The first form has both max_open.
size_t pass_width(size_t run_count, uint64_t max_open);
size_t pass_width(size_t run_count, uint64_t target, uint64_t widest);

// The most runs one merge may open: max_open, or fewer when the process has fewer
// descriptors to spare (less a small reserve and also_open more that the merge holds); at
// least 2.
uint64_t merge_fan_in(FileOps& ops, uint64_t max_open, uint64_t also_open);

}  // namespace tessarune
