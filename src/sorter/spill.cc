#include "sorter/spill.h"

#include <chrono>

#include "base/process.h"
#include "run/run_writer.h"
#include "run/spill_dir.h"
#include "sorter/entry_sort.h"
#include "sorter/sorter_stats.h"

namespace tessarune {
namespace {

// The writer is gone when this returns, so that an unfinished file is flushed and closed
// before anyone learns that the spill ended.
EngineResult<RunInfo> write_run(const RecordBuffer& buffer, std::string path, const SpillDir& dir,
                                const std::shared_ptr<SortPool>& pool) {
    std::unique_ptr<RunWriter> writer = TR_TRY(open_run_writer(dir, std::move(path), pool));
    TR_RETURN_IF_ERROR(writer->write_buffer(buffer));
    return writer->finish_run();
}

}  // namespace

SpillResult spill_buffer(RecordBuffer buffer, std::string path, const SpillDir& dir,
                         const std::shared_ptr<SortPool>& pool, uint64_t half_budget,
                         SorterStats& stats, SortScratch* scratch) {
    sort_entries(buffer, pool.get(), scratch);
    // On an error the buffer is freed before the result is sent.
    RunInfo run = TR_TRY(write_run(buffer, std::move(path), dir, pool));
    stats.add_spilled_bytes(run.byte_count);
    stats.add_file_bytes(run.file_bytes);
    // A buffer that grew past the half budget for one large record is not kept: reusing it
    // would hold more than max_bytes for good.
    buffer.counted_capacity() > half_budget ? buffer.release() : buffer.clear();
    return Spilled{std::move(buffer), std::move(run)};
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

SpillResult SpillJob::wait(Poll& poll) {
    SpillResult result = Spilled();
    while (result_->receive_for(result, std::chrono::milliseconds(50)) == Received::TimedOut) {
        if (poll.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
    }
    thread_.join();
    if (std::exception_ptr internal = result_->internal_error()) std::rethrow_exception(internal);
    return result;  // the thread sends its result before it closes the channel
}

}  // namespace tessarune
