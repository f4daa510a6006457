#include "sorter/sorter_core.h"

#include <optional>
#include <unistd.h>
#include <string>
#include <utility>

#include "base/paths.h"
#include "base/process.h"
#include "base/sort_pool.h"
#include "run/spill_dir.h"
#include "sorter/engine_state.h"

namespace tessarune {

SorterCore::SorterCore() : creator_(::getpid()) {}

bool SorterCore::in_creating_process() const { return is_current_process(creator_); }

SorterCore::~SorterCore() { state_.reset(); }

bool SorterCore::try_lock() {
    if (!mutex_.try_lock()) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
}

bool SorterCore::try_lock_for(std::chrono::milliseconds limit) {
    if (!mutex_.try_lock_for(limit)) return false;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
}

void SorterCore::lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void SorterCore::unlock() {
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
}

bool SorterCore::held_by_this_thread() const {
    // Only the calling thread itself can have stored its own id, so a relaxed read is enough.
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

StateKind SorterCore::state_kind() const { return state_->kind(); }

bool SorterCore::add_may_wait(Bytes key, Bytes payload) const {
    return state_->kind() == StateKind::Filling && state_->filling().is_full_for(key, payload);
}

EngineResult<Filling*> SorterCore::filling_to_add() const {
    switch (state_->kind()) {
        case StateKind::Filling: return &state_->filling();
        case StateKind::Reading:
        case StateKind::Read: return Unexpected(EngineError::of_kind(ErrorKind::AddAfterRead));
        case StateKind::Stopped: return Unexpected(EngineError::of_kind(ErrorKind::Stopped));
        case StateKind::Closed: break;
    }
    return Unexpected(EngineError::of_kind(ErrorKind::Closed));
}

EngineStatus SorterCore::add_record(Bytes key, Bytes payload, Poll& poll) {
    EngineResult<Filling*> filling = filling_to_add();
    if (!filling) return Unexpected(std::move(filling).error());
    return (*filling)->add(key, payload, poll);
}

EngineResult<bool> SorterCore::try_add_record(Bytes key, Bytes payload) {
    EngineResult<Filling*> filling = filling_to_add();
    if (!filling) return Unexpected(std::move(filling).error());
    return (*filling)->try_add(key, payload);
}

EngineResult<bool> SorterCore::try_add_bytes_record(Bytes raw) {
    EngineResult<Filling*> filling = filling_to_add();
    if (!filling) return Unexpected(std::move(filling).error());
    return (*filling)->try_add_bytes(raw);
}

EngineResult<LinesTaken> SorterCore::try_add_lines(Bytes text, uint8_t separator, bool may_hold_zero,
                                                   size_t max_lines) {
    EngineResult<Filling*> filling = filling_to_add();
    if (!filling) return Unexpected(std::move(filling).error());
    return (*filling)->try_add_lines(text, separator, may_hold_zero, max_lines);
}

EngineResult<std::unique_ptr<FinalMerge>> SorterCore::start_read(StatusByte& status, bool keep, Poll& poll) {
    switch (state_->kind()) {
        case StateKind::Filling: break;
        case StateKind::Reading:
        case StateKind::Read: return Unexpected(EngineError::of_kind(ErrorKind::ReadOnlyOnce));
        case StateKind::Stopped: return Unexpected(EngineError::of_kind(ErrorKind::Stopped));
        case StateKind::Closed: return Unexpected(EngineError::of_kind(ErrorKind::Closed));
    }
    std::unique_ptr<Filling> filling = state_->take_filling();  // leaves Read
    status.store(SorterStatus::Read);
    stats_->note_read_start();

    // The poll may have let a close() in: Closed then stays, and the read is dropped.
    auto still_ours = [&] { return state_->kind() == StateKind::Read; };
    EngineResult<FinalMerge> merge = [&] {
        try {
            return filling->finish(poll);
        } catch (...) {
            // Nothing of a read that broke half-way may survive it.
            filling.reset();
            if (still_ours()) state_->set_stopped();
            throw;
        }
    }();
    // Whether it succeeded or not, the filling state goes now: this lets go of the sort pool
    // (its workers end) and, after a failure, removes the spill directory.
    filling.reset();
    if (!still_ours()) return Unexpected(EngineError::of_kind(ErrorKind::Closed));
    if (!merge) {
        state_->set_stopped();
        return Unexpected(std::move(merge).error());
    }
    if (!keep) return std::make_unique<FinalMerge>(std::move(merge).value());
    state_->set_reading(std::move(merge).value());
    return std::unique_ptr<FinalMerge>();
}

std::unique_ptr<EngineState> SorterCore::take_state_for_close() {
    auto closed = std::make_unique<EngineState>();
    state_.swap(closed);
    return closed;
}

bool SorterCore::batch_used_up() const {
    if (state_->kind() != StateKind::Reading) return false;
    const ReadBatch& batch = state_->reading().batch;
    return batch.cursor == batch.payload_ends.size();
}

EngineStatus SorterCore::refill_batch() {
    if (state_->kind() != StateKind::Reading) return {};
    EngineState::Reading& reading = state_->reading();
    ReadBatch& batch = reading.batch;
    batch.payload_bytes.clear();
    batch.payload_ends.clear();
    batch.cursor = 0;

    RecordView record;
    try {
        while (batch.payload_bytes.size() < kBatchMaxBytes) {
            EngineResult<bool> next = reading.merge.merge_next(&record);
            if (!next) {
                state_->set_stopped();  // releases the merge, which removes the spill directory
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
        state_->set_stopped();
        throw;
    }
    if (batch.payload_ends.empty()) {
        state_->set_read();
        stats_->note_read_end();
    }
    return {};
}

NextPayload SorterCore::next_payload(Bytes* out) {
    switch (state_->kind()) {
        case StateKind::Reading: break;
        case StateKind::Closed: return NextPayload::Closed;
        default: return NextPayload::Nothing;
    }
    ReadBatch& batch = state_->reading().batch;
    if (batch.cursor >= batch.payload_ends.size()) return NextPayload::Nothing;
    const uint64_t begin = batch.cursor == 0 ? 0 : batch.payload_ends[batch.cursor - 1];
    const uint64_t end = batch.payload_ends[batch.cursor];
    TR_CHECK(begin <= end && end <= batch.payload_bytes.size());
    *out = Bytes(batch.payload_bytes.data() + begin, end - begin);
    batch.cursor += 1;
    return NextPayload::Payload;
}

void SorterCore::stop_read() {
    if (state_->kind() == StateKind::Reading) state_->set_stopped();
}

size_t SorterCore::run_count() const {
    if (state_->kind() != StateKind::Filling) return 0;
    return state_->filling().runs().size();
}

namespace {

std::optional<EngineError> below(const char* name, int64_t value, int64_t minimum) {
    if (value >= minimum) return std::nullopt;
    return EngineError(ErrorKind::InvalidArgument, std::string(name) + " must be at least " + std::to_string(minimum) +
                                ", not " + std::to_string(value));
}

}  // namespace

EngineResult<std::shared_ptr<SorterCore>> create_core(std::string base, int64_t max_bytes,
                                                      int64_t max_open, int64_t threads,
                                                      std::shared_ptr<FileOps> ops) {
    for (auto refused : {below("max_bytes", max_bytes, 2), below("max_open", max_open, 2),
                         below("threads", threads, 1)}) {
        if (refused) return Unexpected(std::move(*refused));
    }
    // A pool that size could never start; asking for it must not end in an allocation
    // failure somewhere inside the engine.
    if (static_cast<uint64_t>(threads) > kMaxThreads) {
        return Unexpected(EngineError(ErrorKind::InvalidArgument, "threads must be at most " + std::to_string(kMaxThreads) +
                                               ", not " + std::to_string(threads)));
    }

    EngineStatus usable = check_spill_base(ops, base);
    if (!usable) return Unexpected(std::move(usable).error());
    if (base.empty() || base.front() != '/') {
        EngineResult<std::string> cwd = ops->current_dir();
        if (!cwd) return Unexpected(cwd.error().at_path(base));
        base = join_path(*cwd, base);
    }

    std::shared_ptr<SortPool> pool;
    if (threads > 1) {
        EngineResult<std::shared_ptr<SortPool>> made = SortPool::create(threads);
        if (!made) return Unexpected(std::move(made).error());
        pool = std::move(made).value();
    }

    std::shared_ptr<SorterCore> core(new SorterCore());
    core->stats_ = std::make_shared<SorterStats>();
    core->state_ = std::make_unique<EngineState>(std::make_unique<Filling>(
        std::move(base), max_bytes, max_open, std::move(pool), std::move(ops), core->stats_));
    return core;
}

}  // namespace tessarune
