// Filling: the sorter's state while records are added, and the start of its read. Records
// go into the filling half; a full half goes to a spill (spill.h) while the other half
// fills. Every method runs under the engine's mutex.
//
// Releasing a Filling joins a running spill (without polling), frees both halves, lets go
// of the sort pool and removes the spill directory with everything in it. In a process
// forked from the sorter's, it frees memory only: the spill thread and the pool's workers are
// abandoned, not joined, and the spill directory stays (see SpillJob, SortPool, SpillDir).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/expected.h"
#include "base/record_buffer.h"
#include "base/sort_pool.h"
#include "run/file_ops.h"
#include "run/run_info.h"
#include "run/spill_dir.h"
#include "sorter/entry_sort.h"
#include "sorter/final_merge.h"
#include "sorter/poll.h"
#include "sorter/sorter_stats.h"
#include "sorter/spill.h"

namespace tessarune {

// What try_add_lines took of its text.
struct LinesTaken {
    size_t bytes = 0;  // whole lines, each with its separator
    size_t lines = 0;
};

// The most runs one merge may open: max_open, or fewer when the process has fewer
// descriptors to spare (less a small reserve and also_open more that the merge holds); at
// least 2.
uint64_t merge_fan_in(FileOps& ops, uint64_t max_open, uint64_t also_open);

class Filling {
public:
    // base is absolute. max_bytes >= 2, max_open >= 2. Without a pool, lazy_pool_threads > 1
    // starts one of that many workers at the first spill, or for a last half large enough to
    // be sorted in parallel: a sort that stays small never starts a thread.
    Filling(std::string base, uint64_t max_bytes, uint64_t max_open, std::shared_ptr<SortPool> pool,
            std::shared_ptr<FileOps> ops, std::shared_ptr<SorterStats> stats, size_t lazy_pool_threads = 0);
    Filling(const Filling&) = delete;
    Filling& operator=(const Filling&) = delete;

    // Appends the record, handing a full half to a new spill first (waiting for the previous
    // one). A payload that is key bytes 1 to K - 3 (a bytes key's raw bytes, without zero
    // bytes) is stored once, inside the key.
    // InvalidArgument for a field of 4 GiB; LostRecords once a spill failed.
    EngineStatus add(Bytes key, Bytes payload, Poll& poll);

    // The part of add that never waits: false, with nothing done, when the half is full.
    EngineResult<bool> try_add(Bytes key, Bytes payload);

    // try_add for the record add_encoded(raw, raw) makes of a bytes object without zero
    // bytes: key `TAG_BYTES raw 00 00`, payload stored in it, written straight into the arena.
    EngineResult<bool> try_add_bytes(Bytes raw);

    // try_add_bytes for each line of `text` (without the `separator` that ends it), in
    // order, for as long as the lines fit in the filling half as it stands: at most max_lines,
    // and stopping before a line without a separator after it, a line that holds a zero byte
    // (looked for only when may_hold_zero), or a line that the half has no room for. The line
    // it stopped before is for the one-record paths, which wait, grow or refuse.
    EngineResult<LinesTaken> try_add_lines(Bytes text, uint8_t separator, bool may_hold_zero,
                                           size_t max_lines);

    // Whether adding a record of this size finds the filling half full (and so may wait).
    bool is_full_for(Bytes key, Bytes payload) const;

    // Waits for the running spill, if any: GaveUp leaves it running; otherwise its buffer
    // becomes the spare half, or its failure marks the records lost and is returned.
    EngineStatus wait_for_spill(Poll& poll);

    // The read: waits for the last spill, sorts the last half, merges in passes until the
    // runs left fit in one merge, and opens the final merge, which takes the spill directory
    // along. After a failure, releasing the Filling removes the spill directory.
    EngineResult<FinalMerge> finish(Poll& poll);

    const std::vector<RunInfo>& runs() const { return runs_; }  // in adding order
    const RecordBuffer& filling_half() const { return filling_; }
    const std::optional<RecordBuffer>& spare_half() const { return spare_; }
    uint64_t half_budget() const { return half_budget_; }

private:
    template <typename Append>
    EngineResult<bool> try_append(uint64_t key_size, uint64_t payload_size, uint64_t extra,
                                  Append append);
    void note_added(uint64_t bytes, uint64_t items);
    // Starts the lazy pool if there is one to start.
    EngineStatus start_pool();
    EngineStatus spill_full_half();
    EngineResult<std::string> next_run_path();
    // Merges the lightest window of at most `widest` runs into one, which takes its place,
    // bringing the runs closer to `target`. Polls before, then every 65536 records or 4 MiB.
    EngineStatus merge_pass(Poll& poll, uint64_t target, uint64_t widest);
    EngineResult<std::unique_ptr<Merger>> pass_merger(std::vector<std::unique_ptr<MergeSource>> readers);
    EngineResult<std::vector<std::unique_ptr<MergeSource>>> open_readers(std::span<const RunInfo> runs) const;

    // Destroyed from the last up: the spill thread still uses its buffer, its file in the
    // spill directory and its own pool reference, so it ends before any of them goes.
    std::unique_ptr<SpillDir> spill_dir_;  // made at the first spill
    std::shared_ptr<SortPool> pool_;       // present when threads > 1 (once started, if lazy)
    size_t lazy_pool_threads_;             // workers of the pool still to start, or 0
    std::shared_ptr<FileOps> ops_;
    // Shared with the SorterCore (which outlives this state) and with running spills.
    std::shared_ptr<SorterStats> stats_;
    RecordBuffer filling_;                 // the half that takes new records
    std::optional<RecordBuffer> spare_;    // the emptied half the last spill sent back
    SortScratch sort_scratch_;             // one sort runs at a time: a spill's, or the last half's
    // Every run written or being written; a run's byte counts are 0 until its spill is waited for.
    std::vector<RunInfo> runs_;
    std::string base_;
    uint64_t max_open_;
    uint64_t half_budget_;                 // floor(max_bytes / 2)
    uint64_t run_counter_ = 0;
    bool lost_records_ = false;
    uint64_t spilling_capacity_ = 0;  // counted capacity of the half the running spill holds
    uint64_t noted_capacity_ = 0;     // of the filling half, when memory was last noted
    std::unique_ptr<SpillJob> spill_job_;  // the running spill
};

}  // namespace tessarune
