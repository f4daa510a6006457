// MergeRelay: a merge run on a pool worker whose records reach another merge as one source,
// so that a merge pass shares its merging between two cores. The records and their order are
// those of one merge over both parts, as long as the worker's part holds the earlier runs.
//
// The worker fills one of two batches of about `batch_bytes` (a record larger than a batch
// gets a batch of its own size) while the consumer reads the other. An error of the inner
// merge reaches the consumer in its place in the sequence, and so does an internal error
// (rethrown there). Dropping the relay stops the worker and waits for it, so the inner
// merge's readers are never used after the relay.
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
