#include "sorter/sorter_core.h"

#include <unistd.h>

#include <string>
#include <utility>

#include "base/paths.h"
#include "base/process.h"
#include "base/sort_pool.h"
#include "run/spill_dir.h"

namespace tessarune {
SorterCore::SorterCore() : creator_(::getpid()) {}

SorterCore::~SorterCore() = default;

bool SorterCore::in_creating_process() const { return is_current_process(creator_); }

StateKind SorterCore::state_kind() const { return state_.kind(); }

EngineError SorterCore::refusal(ErrorKind after_read) const {
    switch (state_.kind()) {
        case StateKind::Reading:
        case StateKind::Read: return EngineError::of_kind(after_read);
        case StateKind::Stopped: return EngineError::of_kind(ErrorKind::Stopped);
        default: return EngineError::of_kind(ErrorKind::Closed);
    }
}

EngineResult<std::unique_ptr<FinalMerge>> SorterCore::start_read(StatusByte& status, bool keep, Poll& poll) {
    auto* held = std::get_if<std::unique_ptr<Filling>>(&state_.v);
    if (held == nullptr) return Unexpected(refusal(ErrorKind::ReadOnlyOnce));
    std::unique_ptr<Filling> filling = std::move(*held);
    state_.v = EngineState::Read{};
    status.store(SorterStatus::Read);
    stats_->note_read_start();

    // The poll may have let a close() in: Closed then stays, and the read is dropped.
    auto still_ours = [&] { return state_.kind() == StateKind::Read; };
    EngineResult<FinalMerge> merge = [&] {
        try {
            return filling->finish(poll);
        } catch (...) {
            // Nothing of a read that broke half-way may survive it.
            filling.reset();
            if (still_ours()) state_.v = EngineState::Stopped{};
            throw;
        }
    }();
    // Whether it succeeded or not, the filling state goes now: this lets go of the sort pool
    // (its workers end) and, after a failure, removes the spill directory.
    filling.reset();
    if (!still_ours()) return Unexpected(EngineError::of_kind(ErrorKind::Closed));
    if (!merge) {
        state_.v = EngineState::Stopped{};
        return Unexpected(std::move(merge).error());
    }
    if (!keep) return std::make_unique<FinalMerge>(std::move(merge).value());
    state_.v = EngineState::Reading{std::move(merge).value(), ReadBatch{}};
    return std::unique_ptr<FinalMerge>();
}

std::unique_ptr<EngineState> SorterCore::take_state_for_close() {
    return std::make_unique<EngineState>(std::exchange(state_, EngineState{EngineState::Closed{}}));
}

bool SorterCore::batch_used_up() const {
    const auto* reading = std::get_if<EngineState::Reading>(&state_.v);
    return reading != nullptr && reading->batch.cursor == reading->batch.payload_ends.size();
}

EngineStatus SorterCore::refill_batch() {
    auto* reading = std::get_if<EngineState::Reading>(&state_.v);
    if (reading == nullptr) return {};
    ReadBatch& batch = reading->batch;
    batch.payload_bytes.clear();
    batch.payload_ends.clear();
    batch.cursor = 0;

    RecordView record;
    try {
        while (batch.payload_bytes.size() < kBatchMaxBytes) {
            EngineResult<bool> next = reading->merge.merge_next(&record);
            if (!next) {
                state_.v = EngineState::Stopped{};  // releases the merge, which removes the spill directory
                return Unexpected(std::move(next).error());
            }
            if (!next.value()) break;
            batch.payload_bytes.append(record.payload);
            batch.payload_ends.push_back(batch.payload_bytes.size());
            if (batch.payload_ends.size() == kBatchMaxPayloads) break;
        }
    } catch (...) {
        // The record in hand when the batch could not grow is gone from the merge: going on
        // would skip it silently.
        state_.v = EngineState::Stopped{};
        throw;
    }
    if (batch.payload_ends.empty()) {
        state_.v = EngineState::Read{};
        stats_->note_read_end();
    }
    return {};
}

NextPayload SorterCore::next_payload(Bytes* out) {
    auto* reading = std::get_if<EngineState::Reading>(&state_.v);
    if (reading == nullptr) return state_.kind() == StateKind::Closed ? NextPayload::Closed : NextPayload::Nothing;
    ReadBatch& batch = reading->batch;
    if (batch.cursor >= batch.payload_ends.size()) return NextPayload::Nothing;
    const uint64_t begin = batch.cursor == 0 ? 0 : batch.payload_ends[batch.cursor - 1];
    const uint64_t end = batch.payload_ends[batch.cursor];
    TR_CHECK(begin <= end && end <= batch.payload_bytes.size());
    *out = Bytes(batch.payload_bytes.data() + begin, end - begin);
    batch.cursor += 1;
    return NextPayload::Payload;
}

void SorterCore::stop_read() {
    if (state_.kind() == StateKind::Reading) state_.v = EngineState::Stopped{};
}

namespace {

std::optional<EngineError> out_of_range(const char* name, int64_t value, int64_t low, int64_t high) {
    if (value >= low && value <= high) return std::nullopt;
    const bool under = value < low;
    return EngineError(ErrorKind::InvalidArgument, std::string(name) + (under ? " must be at least " : " must be at most ") +
                                                       std::to_string(under ? low : high) + ", not " + std::to_string(value));
}

EngineResult<std::string> absolute_spill_base(FileOps& ops, const std::string& base) {
    if (!base.empty() && base.front() == '/') return base;
    EngineResult<std::string> cwd = ops.current_dir();
    if (!cwd) return Unexpected(cwd.error().at_path(base));
    return join_path(*cwd, base);
}

}  // namespace

EngineResult<std::shared_ptr<SorterCore>> create_core(std::string base, int64_t max_bytes,
                                                      int64_t max_open, int64_t threads,
                                                      std::shared_ptr<FileOps> ops, BaseCheck check,
                                                      PoolStart pool_start) {
    constexpr int64_t kNoLimit = INT64_MAX;
    // A pool of more threads could never start; asking for it must not end in an allocation
    // failure somewhere inside the engine.
    for (auto refused : {out_of_range("max_bytes", max_bytes, 2, kNoLimit), out_of_range("max_open", max_open, 2, kNoLimit),
                         out_of_range("threads", threads, 1, kMaxThreads)}) {
        if (refused) return Unexpected(std::move(*refused));
    }

    std::string absolute_base = check == BaseCheck::Probe ? TR_TRY(check_spill_base(ops, base))
                                                          : TR_TRY(absolute_spill_base(*ops, base));
    std::shared_ptr<SortPool> pool;
    if (threads > 1 && pool_start == PoolStart::AtCreation) pool = TR_TRY(SortPool::create(threads));

    std::shared_ptr<SorterCore> core(new SorterCore());
    core->stats_ = std::make_shared<SorterStats>();
    core->state_.v = std::make_unique<Filling>(std::move(absolute_base), max_bytes, max_open, std::move(pool),
                                               std::move(ops), core->stats_, static_cast<size_t>(threads));
    return core;
}

}  // namespace tessarune
