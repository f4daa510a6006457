// MergeRelay: a merge run on a pool worker whose records reach another merge as one source.
//
// A merge pass is one thread merging k runs while the cores beside it idle. Splitting the
// window in two, a worker merges the first part while the pass's own thread merges the rest
// together with the worker's output: the same records in the same order (the worker's part
// comes first among equal keys, as its runs come first in the window), the merging shared
// between two cores.
//
// The worker copies its records into one of two batches of about `batch_bytes` while the
// consumer reads the other, so each side waits only when it is a whole batch ahead. A record
// larger than a batch gets a batch of its own size. An error of the inner merge reaches the
// consumer in its place in the sequence, and so does an internal error (rethrown there).
// Dropping the relay stops the worker (once the batch it fills is full) and waits for it, so
// the inner merge's readers are never used after the relay.
#pragma once

#include <memory>

#include "base/merge_source.h"
#include "base/sort_pool.h"
#include "merge/merger.h"

namespace tessarune {

inline constexpr size_t kRelayBatchBytes = 256 << 10;

// Starts merging `inner` on a worker of `pool` at once. REQUIRES: batch_bytes >= 1; the pool
// has at least two workers and outlives the relay, and no task on it waits for this relay's
// consumer (the relay holds one worker until its merge ends or the relay is dropped).
std::unique_ptr<MergeSource> start_merge_relay(std::unique_ptr<Merger> inner, SortPool& pool,
                                               size_t batch_bytes = kRelayBatchBytes);

}  // namespace tessarune
