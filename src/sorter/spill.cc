#include "sorter/spill.h"

#include <chrono>
#include <optional>

#include "run/run_writer.h"
#include "run/spill_dir.h"
#include "sorter/engine_state.h"
#include "sorter/entry_sort.h"
#include "sorter/sorter_core.h"

namespace tessarune {

namespace {

constexpr std::chrono::milliseconds kWaitSlice(50);

}  // namespace

SpillResult spill_buffer(RecordBuffer buffer, std::string path, const SpillDir& dir,
                         const std::shared_ptr<SortPool>& pool, uint64_t half_budget,
                         SorterStats& stats) {
    sort_entries(buffer, pool.get());
    {
        // The writer goes out of scope before the result is sent, so that an unfinished file
        // is flushed and closed before anyone learns that the spill ended.
        EngineResult<std::unique_ptr<RunWriter>> writer = open_run_writer(dir, std::move(path), pool);
        if (!writer) {
            buffer.release();
            return SpillResult{std::move(writer).error()};
        }
        EngineStatus written = (*writer)->write_buffer(buffer);
        if (!written) {
            buffer.release();
            return SpillResult{std::move(written).error()};
        }
        EngineResult<RunInfo> finished = (*writer)->finish_run();
        if (!finished) {
            buffer.release();
            return SpillResult{std::move(finished).error()};
        }
        stats.add_file_bytes(finished->file_bytes);
    }
    // A buffer that grew past the half budget for one large record is not kept: reusing it
    // would hold more than max_bytes for good.
    if (buffer.counted_capacity() > half_budget) {
        buffer.release();
    } else {
        buffer.clear();
    }
    return SpillResult{std::move(buffer)};
}

EngineStatus wait_for_spill(FillingState& state, Poll& poll) {
    if (!state.spill_job) return {};
    std::optional<SpillResult> result(std::in_place);
    Received received;
    const auto wait_start = SorterStats::Clock::now();
    while ((received = state.spill_job->result->receive_for(*result, kWaitSlice)) == Received::TimedOut) {
        if (poll.give_up()) {
            state.stats->add_spill_wait(SorterStats::since(wait_start));
            return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
        }
    }
    state.stats->add_spill_wait(SorterStats::since(wait_start));

    std::unique_ptr<SpillJob> job = std::move(state.spill_job);
    job->thread.join();
    std::exception_ptr internal = job->result->internal_error();
    job.reset();
    if (received == Received::Closed) result.reset();

    if (internal) {
        // The half that thread held may be gone; the engine must not pretend otherwise.
        state.lost_records = true;
        std::rethrow_exception(internal);
    }
    if (!result) {
        state.lost_records = true;
        return Unexpected(EngineError(ErrorKind::Other, "a spill stopped"));
    }
    if (auto* buffer = std::get_if<RecordBuffer>(&result->outcome)) {
        state.spare.emplace(std::move(*buffer));
        return {};
    }
    state.lost_records = true;
    return Unexpected(std::move(std::get<EngineError>(result->outcome)));
}

EngineResult<std::string> new_run_path(FillingState& state) {
    if (!state.spill_dir) {
        EngineResult<std::unique_ptr<SpillDir>> made = create_spill_dir(state.ops, state.base);
        if (!made) return Unexpected(std::move(made).error());
        state.spill_dir = std::move(made).value();
    }
    std::string path = state.spill_dir->path();
    path += '/';
    path += run_file_name(state.run_counter);
    state.run_counter += 1;
    return path;
}

}  // namespace tessarune
