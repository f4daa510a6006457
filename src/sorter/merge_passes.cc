// Filling's read: merge passes, then the final merge.
#include <algorithm>
#include <string>
#include <utility>

#include "merge/memory_source.h"
#include "run/run_reader.h"
#include "run/run_writer.h"
#include "run/spill_dir.h"
#include "sorter/entry_sort.h"
#include "sorter/filling.h"
#include "sorter/merge_relay.h"

namespace tessarune {
namespace {

// A pass polls after this many records or this many bytes written, whichever comes first:
// many small records need no poll each, and a few huge ones must not delay one for long.
constexpr uint64_t kRecordsPerPoll = 65536;
constexpr uint64_t kBytesPerPoll = uint64_t{4} << 20;
// Below this many runs a pass is merged by one thread alone.
constexpr size_t kRelayMinRuns = 8;
// Descriptors left unused by a merge, for whatever else the process opens meanwhile.
constexpr uint64_t kDescriptorReserve = 4;

// The start of the window of k consecutive runs whose byte counts add up to the least; the
// first such window on a tie. REQUIRES: 1 <= k <= runs.size().
size_t lightest_window(const std::vector<RunInfo>& runs, size_t k) {
    TR_CHECK(k >= 1 && k <= runs.size());
    uint64_t sum = 0;
    uint64_t best = UINT64_MAX;
    size_t best_start = 0;
    for (size_t end = 1; end <= runs.size(); ++end) {  // the window [end - k, end)
        sum += runs[end - 1].byte_count - (end > k ? runs[end - k - 1].byte_count : 0);
        if (end >= k && sum < best) {  // strictly less: the first window wins a tie
            best = sum;
            best_start = end - k;
        }
    }
    return best_start;
}

// Writes every record the merge gives to the writer, asking poll now and then: exactly
// `expected_records` of them.
EngineStatus copy_merged(Merger& merger, RunWriter& writer, uint64_t expected_records, Poll& poll) {
    RecordView record;
    uint64_t next_poll_records = kRecordsPerPoll;
    uint64_t next_poll_bytes = kBytesPerPoll;
    for (;;) {
        if (!TR_TRY(merger.merge_next(&record))) break;
        TR_CHECK(writer.record_count() < expected_records);
        TR_RETURN_IF_ERROR(record.payload_in_key ? writer.write_record_payload_in_key(record.key)
                                                 : writer.write_record(record.key, record.payload));
        if (writer.record_count() >= next_poll_records || writer.byte_count() >= next_poll_bytes) {
            if (poll.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
            next_poll_records = writer.record_count() + kRecordsPerPoll;
            next_poll_bytes = writer.byte_count() + kBytesPerPoll;
        }
    }
    TR_CHECK(writer.record_count() == expected_records);
    return {};
}

}  // namespace

uint64_t merge_fan_in(FileOps& ops, uint64_t max_open, uint64_t also_open) {
    const uint64_t free = ops.free_descriptors();
    const uint64_t spare = kDescriptorReserve + also_open;
    const uint64_t usable = free > spare ? free - spare : 0;
    // Below two no merge can make progress: trying lets the open fail with its own error.
    return std::max<uint64_t>(2, std::min(max_open, usable));
}

EngineResult<std::vector<std::unique_ptr<MergeSource>>> Filling::open_readers(std::span<const RunInfo> runs) const {
    std::vector<std::unique_ptr<MergeSource>> sources;
    sources.reserve(runs.size() + 1);  // room for the in-memory source of the final merge
    for (const RunInfo& run : runs) {
        sources.push_back(TR_TRY(open_run_reader(*spill_dir_, run)));
    }
    return sources;
}

// The merge of a pass over `readers` (the window in order). With a pool of two workers or
// more and a wide window, a worker merges the first two thirds of the window and this thread
// merges its output with the rest (this thread also merges and writes every record, so it
// takes the smaller part). The relay's two batches take at most half of the half
// budget, inside the spare half that the read has freed.
EngineResult<std::unique_ptr<Merger>> Filling::pass_merger(std::vector<std::unique_ptr<MergeSource>> readers) {
    if (!pool_ || pool_->worker_count() < 2 || readers.size() < kRelayMinRuns) {
        return new_merger(std::move(readers));
    }
    const size_t batch_bytes =
        static_cast<size_t>(std::clamp<uint64_t>(half_budget_ / 4, 1, kRelayBatchBytes));
    const size_t first = readers.size() * 2 / 3;
    // The relay comes first: its runs come before the others in the window, so its records
    // do among equal keys.
    std::vector<std::unique_ptr<MergeSource>> sources(1);
    sources.insert(sources.end(), std::make_move_iterator(readers.begin() + static_cast<ptrdiff_t>(first)),
                   std::make_move_iterator(readers.end()));
    readers.resize(first);
    sources[0] = start_merge_relay(TR_TRY(new_merger(std::move(readers))), *pool_, batch_bytes);
    return new_merger(std::move(sources));
}

EngineStatus Filling::merge_pass(Poll& poll, uint64_t target, uint64_t widest) {
    if (poll.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
    const auto pass_start = SorterStats::Clock::now();
    TR_CHECK(spill_dir_ != nullptr);
    const SpillDir& dir = *spill_dir_;

    // Merging runs - target + 1 runs leaves exactly target; a window can be at most widest.
    TR_CHECK(target >= 2 && widest >= 2 && runs_.size() > target);
    const size_t k = static_cast<size_t>(std::min<uint64_t>(widest, runs_.size() - target + 1));
    const size_t start = lightest_window(runs_, k);
    const std::vector<RunInfo> window(runs_.begin() + static_cast<ptrdiff_t>(start),
                                      runs_.begin() + static_cast<ptrdiff_t>(start + k));

    std::unique_ptr<Merger> merger = TR_TRY(pass_merger(TR_TRY(open_readers(window))));
    std::unique_ptr<RunWriter> writer = TR_TRY(open_run_writer(dir, TR_TRY(next_run_path()), pool_));

    // The pass must write exactly the window's records; a merge that kept producing would
    // otherwise fill the disk before anything noticed.
    uint64_t expected_records = 0;
    for (const RunInfo& run : window) expected_records += run.record_count;
    TR_RETURN_IF_ERROR(copy_merged(*merger, *writer, expected_records, poll));
    merger.reset();  // closes the window's files before they are removed
    RunInfo info = TR_TRY(writer->finish_run());

    stats_->add_merge_pass(info.byte_count, SorterStats::since(pass_start));
    stats_->add_file_bytes(info.file_bytes);
    auto first = runs_.begin() + static_cast<ptrdiff_t>(start);
    runs_.erase(first + 1, first + static_cast<ptrdiff_t>(k));
    *first = std::move(info);

    for (const RunInfo& merged : window) {
        EngineStatus removed = dir.remove_file(file_name_of(merged.path));
        // Storage errors name the file they concern, like every other one of the engine.
        if (!removed) return Unexpected(removed.error().at_path(merged.path));
    }
    return {};
}

EngineResult<FinalMerge> Filling::finish(Poll& poll) {
    if (lost_records_) return Unexpected(EngineError::of_kind(ErrorKind::LostRecords));
    // The last half is sorted only once the last spill has ended: each half counts half of a
    // sort's memory (record_buffer.h), so two sorts must never run at once.
    TR_RETURN_IF_ERROR(wait_for_spill(poll));
    spare_.reset();
    RecordBuffer last = std::move(filling_);
    if (last.record_count() >= 2 * kDefaultMinChunk) TR_RETURN_IF_ERROR(start_pool());
    const auto sort_start = SorterStats::Clock::now();
    sort_entries(last, pool_.get(), &sort_scratch_);
    stats_->add_last_sort(SorterStats::since(sort_start));

    // Each merge opens only as many runs as the process has descriptors to spare (a pass
    // also holds the run it writes); fewer descriptors mean more passes, never a failure.
    for (;;) {
        const uint64_t target = merge_fan_in(*ops_, max_open_, 0);
        if (runs_.size() <= target) break;
        const uint64_t widest = merge_fan_in(*ops_, max_open_, 1);
        TR_RETURN_IF_ERROR(merge_pass(poll, target, widest));
    }

    auto sources = TR_TRY(open_readers(runs_));  // no runs, no spill directory: nothing to open
    // Last among the sources: its records were added after every spilled one, so among equal
    // keys they come out last.
    if (last.record_count() > 0) {
        sources.push_back(std::make_unique<MemorySource>(std::move(last)));
    } else {
        last.release();
    }
    return FinalMerge(TR_TRY(new_merger(std::move(sources))), std::move(spill_dir_));
}

}  // namespace tessarune
