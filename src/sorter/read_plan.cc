#include "sorter/read_plan.h"

#include <algorithm>
#include <string>
#include <utility>

#include "run/run_reader.h"
#include "run/run_writer.h"
#include "sorter/engine_state.h"
#include "sorter/memory_source.h"
#include "sorter/spill.h"

namespace tessarune {
namespace {

// A pass over many small records stays interruptible without a poll per record.
constexpr uint64_t kRecordsPerPoll = 65536;

EngineError interrupted() { return EngineError(IoError::of_kind(IoErrorKind::Interrupted)); }

// Readers for the given runs, in the given order.
IoResult<std::vector<std::unique_ptr<MergeSource>>> open_readers(const std::shared_ptr<FileOps>& ops,
                                                                 const RunInfo* first, size_t count) {
    std::vector<std::unique_ptr<MergeSource>> sources;
    sources.reserve(count + 1);  // room for the in-memory source of the final merge
    for (size_t i = 0; i < count; ++i) {
        IoResult<std::unique_ptr<RunReader>> reader = open_run_reader(ops, first[i]);
        if (!reader) return Unexpected(std::move(reader).error());
        sources.push_back(std::move(reader).value());
    }
    return sources;
}

}  // namespace

size_t lightest_window(const std::vector<RunInfo>& runs, size_t k) {
    TR_CHECK(k >= 1 && k <= runs.size());
    uint64_t sum = 0;
    for (size_t i = 0; i < k; ++i) sum += runs[i].byte_count;
    uint64_t best = sum;
    size_t best_start = 0;
    for (size_t start = 1; start + k <= runs.size(); ++start) {
        sum = sum - runs[start - 1].byte_count + runs[start + k - 1].byte_count;
        if (sum < best) {  // strictly less: the first window wins a tie
            best = sum;
            best_start = start;
        }
    }
    return best_start;
}

size_t pass_width(size_t run_count, uint64_t max_open) {
    TR_CHECK(max_open >= 2 && run_count > max_open);
    // Merging run_count - max_open + 1 runs leaves exactly max_open; wider windows than
    // max_open cannot be opened at once, so such a pass only comes closer.
    const uint64_t needed = run_count - max_open + 1;
    return static_cast<size_t>(std::min<uint64_t>(max_open, needed));
}

EngineStatus merge_pass(FillingState& state, Poll& poll) {
    if (poll.give_up()) return Unexpected(interrupted());

    const size_t k = pass_width(state.runs.size(), state.max_open);
    const size_t start = lightest_window(state.runs, k);
    const std::vector<RunInfo> window(state.runs.begin() + static_cast<ptrdiff_t>(start),
                                      state.runs.begin() + static_cast<ptrdiff_t>(start + k));

    auto sources = open_readers(state.ops, window.data(), window.size());
    if (!sources) return Unexpected(EngineError(std::move(sources).error()));
    IoResult<std::unique_ptr<Merger>> merger = new_merger(std::move(sources).value(), nullptr);
    if (!merger) return Unexpected(EngineError(std::move(merger).error()));

    IoResult<std::string> path = new_run_path(state);
    if (!path) return Unexpected(EngineError(std::move(path).error()));
    IoResult<std::unique_ptr<RunWriter>> writer =
        open_run_writer(state.ops, std::move(path).value(), state.pool);
    if (!writer) return Unexpected(EngineError(std::move(writer).error()));

    // The pass must write exactly the window's records; a merge that kept producing would
    // otherwise fill the disk before anything noticed.
    uint64_t expected_records = 0;
    for (const RunInfo& run : window) expected_records += run.record_count;

    RecordView record;
    for (;;) {
        EngineResult<bool> next = (*merger)->merge_next(&record);
        if (!next) return Unexpected(std::move(next).error());
        if (!next.value()) break;
        TR_CHECK((*writer)->record_count() < expected_records);
        IoStatus written = record.payload_in_key
                               ? (*writer)->write_record_payload_in_key(record.key)
                               : (*writer)->write_record(record.key, record.payload);
        if (!written) return Unexpected(EngineError(std::move(written).error()));
        if ((*writer)->record_count() % kRecordsPerPoll == 0 && poll.give_up()) {
            return Unexpected(interrupted());
        }
    }
    TR_CHECK((*writer)->record_count() == expected_records);
    merger.value().reset();  // closes the window's files before they are removed
    IoResult<RunInfo> info = (*writer)->finish_run();
    if (!info) return Unexpected(EngineError(std::move(info).error()));

    auto first = state.runs.begin() + static_cast<ptrdiff_t>(start);
    state.runs.erase(first + 1, first + static_cast<ptrdiff_t>(k));
    *first = std::move(info).value();

    for (const RunInfo& merged : window) {
        IoStatus removed = state.ops->remove_file(merged.path);
        // Storage errors name the file they concern, like every other one of the engine.
        if (!removed) return Unexpected(EngineError(removed.error().with_context(merged.path + ": ")));
    }
    return {};
}

EngineResult<std::unique_ptr<Merger>> plan_read(FillingState& state, Poll& poll) {
    if (state.lost_records) return Unexpected(EngineError::lost_records());
    EngineStatus waited = wait_for_spill(state, poll);
    if (!waited) return Unexpected(std::move(waited).error());

    state.spare.reset();
    while (state.runs.size() > state.max_open) {
        EngineStatus passed = merge_pass(state, poll);
        if (!passed) return Unexpected(std::move(passed).error());
    }

    RecordBuffer last = std::move(state.filling);
    sort_entries(last, state.pool.get());

    auto sources = open_readers(state.ops, state.runs.data(), state.runs.size());
    if (!sources) return Unexpected(EngineError(std::move(sources).error()));
    // Last among the sources: its records were added after every spilled one, so among equal
    // keys they come out last.
    if (last.record_count() > 0) {
        sources->push_back(std::make_unique<MemorySource>(std::move(last)));
    } else {
        last.release();
    }
    IoResult<std::unique_ptr<Merger>> merger =
        new_merger(std::move(sources).value(), std::move(state.spill_dir));
    if (!merger) return Unexpected(EngineError(std::move(merger).error()));
    return std::move(merger).value();
}

}  // namespace tessarune
