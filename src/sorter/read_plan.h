// The start of a read, once the engine has left Filling: finish the spill pipeline, merge
// runs in passes until at most max_open remain (fewer when descriptors are short), sort the last half in memory and open the
// final merge over every run and that half.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/expected.h"
#include "merge/merger.h"
#include "run/file_ops.h"
#include "run/run_info.h"

namespace tessarune {

class Poll;
struct FillingState;

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

// Merges the lightest window of runs into a new run, which takes the window's place in the
// run list; then removes the window's files. Polls before the pass, then every 65536 records
// or 4 MiB written, whichever comes first. The first form merges towards max_open runs.
EngineStatus merge_pass(FillingState& state, Poll& poll);
EngineStatus merge_pass(FillingState& state, Poll& poll, uint64_t target, uint64_t widest);

// Everything of the read plan after leaving Filling. On success the returned Merger owns the
// spill directory; what is left of state is for the caller to release. On failure the caller
// releases state, which removes the spill directory if it is still there.
EngineResult<std::unique_ptr<Merger>> plan_read(FillingState& state, Poll& poll);

}  // namespace tessarune
