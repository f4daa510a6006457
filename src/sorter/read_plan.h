// The start of a read, once the engine has left Filling: finish the spill pipeline, merge
// runs in passes until at most max_open remain, sort the last half in memory and open the
// final merge over every run and that half.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/expected.h"
#include "merge/merger.h"
#include "run/run_info.h"

namespace tessarune {

class Poll;
struct FillingState;

// The start of the window of k consecutive runs whose byte counts add up to the least; the
// first such window on a tie. REQUIRES: 1 <= k <= runs.size().
size_t lightest_window(const std::vector<RunInfo>& runs, size_t k);

// How many runs the next pass merges: just enough to come down to max_open, at most max_open.
// REQUIRES: run_count > max_open >= 2.
size_t pass_width(size_t run_count, uint64_t max_open);

// Merges the lightest window of runs into a new run, which takes the window's place in the
// run list; then removes the window's files. Polls before the pass and every 65536 records.
EngineStatus merge_pass(FillingState& state, Poll& poll);

// Everything of the read plan after leaving Filling. On success the returned Merger owns the
// spill directory; what is left of state is for the caller to release. On failure the caller
// releases state, which removes the spill directory if it is still there.
EngineResult<std::unique_ptr<Merger>> plan_read(FillingState& state, Poll& poll);

}  // namespace tessarune
