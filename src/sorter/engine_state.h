// EngineState: what a SorterCore holds in each of its states, and FillingState, the data of
// the state in which records are added.
//
//   Filling  --start_read(keep)-->  Reading (Merger + ReadBatch)  --merge ends-->  Read
//   Filling  --start_read(!keep)--> Read (the Merger went to the caller)
//   Filling / Reading --failure or interruption--> Stopped
//   any --close--> Closed
//
// Releasing a FillingState joins a running spill (without polling), frees both halves,
// lets go of the sort pool and removes the spill directory with everything in it. Releasing
// Reading releases the Merger, which removes the spill directory. In a process forked from
// the sorter's, releasing either frees memory only: the spill thread and the pool's workers
// are abandoned, not joined, and the spill directory stays (see SpillJob, SortPool, SpillDir).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/record_buffer.h"
#include "base/sort_pool.h"
#include "merge/merger.h"
#include "run/file_ops.h"
#include "run/run_info.h"
#include "run/spill_dir.h"
#include "sorter/sorter_core.h"
#include "sorter/sorter_stats.h"
#include "sorter/spill.h"

namespace tessarune {

struct FillingState {
    FillingState(std::string base_dir, uint64_t max_bytes_, uint64_t max_open_, uint64_t threads_,
                 std::shared_ptr<SortPool> pool_, std::shared_ptr<FileOps> ops_);
    ~FillingState();
    FillingState(const FillingState&) = delete;
    FillingState& operator=(const FillingState&) = delete;

    RecordBuffer filling;        // the half that takes new records
    std::vector<RunInfo> runs;   // every run written or being written, in adding order
    std::string base;            // absolute: a relative tmp_dir is joined to the working directory
    uint64_t max_bytes;
    uint64_t max_open;
    uint64_t threads;
    std::optional<RecordBuffer> spare;    // the emptied half the last spill sent back
    std::unique_ptr<SpillDir> spill_dir;  // made at the first spill
    std::shared_ptr<SortPool> pool;       // present when threads > 1
    uint64_t half_budget;                 // floor(max_bytes / 2)
    uint64_t run_counter = 0;
    std::unique_ptr<SpillJob> spill_job;  // the running spill
    bool lost_records = false;
    std::shared_ptr<FileOps> ops;
    // Shared with the SorterCore (which outlives this state) and with running spills.
    std::shared_ptr<SorterStats> stats = std::make_shared<SorterStats>();
    uint64_t spilling_capacity = 0;  // counted capacity of the half the running spill holds
    uint64_t noted_capacity = 0;     // of the filling half, when memory was last noted
    uint64_t added_items = 0;
    uint64_t added_bytes = 0;
};

class EngineState {
public:
    struct Filling {
        std::unique_ptr<FillingState> state;
    };
    struct Reading {
        std::unique_ptr<Merger> merger;
        ReadBatch batch;
    };
    struct Read {};
    struct Stopped {};
    struct Closed {};

    explicit EngineState(std::unique_ptr<FillingState> filling) : v_(Filling{std::move(filling)}) {}
    EngineState() : v_(Closed{}) {}
    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    StateKind kind() const;

    // REQUIRES: the state is of that kind.
    FillingState& filling();
    const FillingState& filling() const;
    Reading& reading();
    const Reading& reading() const;

    // Each setter releases what the state held before.
    void set_reading(std::unique_ptr<Merger> merger);
    void set_read() { v_ = Read{}; }
    void set_stopped() { v_ = Stopped{}; }
    void set_closed() { v_ = Closed{}; }

    // Moves the FillingState out, leaving Read. REQUIRES: kind() == Filling.
    std::unique_ptr<FillingState> take_filling();

private:
    std::variant<Filling, Reading, Read, Stopped, Closed> v_;
};

}  // namespace tessarune
