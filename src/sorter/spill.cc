#include "sorter/spill.h"

#include <chrono>
#include <optional>

#include "run/run_writer.h"
#include "run/spill_dir.h"
#include "sorter/entry_sort.h"
#include "base/process.h"
#include "sorter/sorter_stats.h"

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

SpillJob::SpillJob() : creator_(::getpid()) {}

SpillJob::~SpillJob() {
    if (!is_current_process(creator_)) {
        // The channel's lock may have been held by the spill thread at the fork.
        abandon(std::make_shared<std::thread>(std::move(thread_)));
        abandon(std::move(result_));
        return;
    }
    if (thread_.joinable()) thread_.join();
}

EngineResult<RecordBuffer> SpillJob::wait(Poll& poll) {
    std::optional<SpillResult> result(std::in_place);
    Received received;
    while ((received = result_->receive_for(*result, kWaitSlice)) == Received::TimedOut) {
        if (poll.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
    }
    thread_.join();
    if (std::exception_ptr internal = result_->internal_error()) std::rethrow_exception(internal);
    if (received == Received::Closed) return Unexpected(EngineError(ErrorKind::Other, "a spill stopped"));
    if (auto* buffer = std::get_if<RecordBuffer>(&result->outcome)) return std::move(*buffer);
    return Unexpected(std::move(std::get<EngineError>(result->outcome)));
}

}  // namespace tessarune
