#include "sorter/filling.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "key/key_encoding.h"

namespace tessarune {
namespace {

constexpr uint64_t kMaxFieldLength = uint64_t{1} << 32;

// The one rule for storing a payload once: when it is key bytes 1 to K - 3, which is what
// a bytes key without zero bytes holds between its tag and its end.
PayloadSource source_of(Bytes key, Bytes payload) {
    const bool in_key = key.size() == payload.size() + 3 && std::ranges::equal(payload, key.subspan(1, payload.size()));
    return in_key ? PayloadSource::KeyBytes : PayloadSource::Given;
}

}  // namespace

Filling::Filling(std::string base, uint64_t max_bytes, uint64_t max_open, std::shared_ptr<SortPool> pool,
                 std::shared_ptr<FileOps> ops, std::shared_ptr<SorterStats> stats, size_t lazy_pool_threads)
    : pool_(std::move(pool)),
      lazy_pool_threads_(pool_ == nullptr && lazy_pool_threads > 1 ? lazy_pool_threads : 0),
      ops_(std::move(ops)),
      stats_(std::move(stats)),
      base_(std::move(base)),
      max_open_(max_open),
      half_budget_(max_bytes / 2) {}

bool Filling::is_full_for(Bytes key, Bytes payload) const {
    const uint64_t extra = RecordBuffer::arena_bytes_for(key.size(), payload.size(), source_of(key, payload));
    return std::holds_alternative<GrowthFull>(plan_growth(filling_, extra, half_budget_));
}

// Runs once per record under the engine's mutex: counts published by relaxed stores,
// and the memory looked at again only when the filling half grew.
void Filling::note_added(uint64_t bytes, uint64_t items) {
    stats_->add_added(items, bytes);
    const uint64_t capacity = filling_.counted_capacity();
    if (capacity == noted_capacity_) return;
    noted_capacity_ = capacity;
    uint64_t held = capacity;
    if (spill_job_) held += spilling_capacity_;
    if (spare_) held += spare_->counted_capacity();
    stats_->note_memory(held);
}

// Appends a record of key_size + payload_size bytes, `extra` of them in the arena, with
// append(buffer) when the filling half has room for it; false when it is full.
template <typename Append>
EngineResult<bool> Filling::try_append(uint64_t key_size, uint64_t payload_size, uint64_t extra,
                                       Append append) {
    if (lost_records_) return Unexpected(EngineError::of_kind(ErrorKind::LostRecords));
    if (key_size >= kMaxFieldLength || payload_size >= kMaxFieldLength) {
        return Unexpected(EngineError(ErrorKind::InvalidArgument, "a key or value must be shorter than 4 GiB"));
    }
    if (!filling_.fits_as_is(extra, half_budget_) && !apply_plan(filling_, extra, half_budget_)) return false;
    append(filling_);
    note_added(key_size + payload_size, 1);
    return true;
}

EngineResult<bool> Filling::try_add(Bytes key, Bytes payload) {
    const PayloadSource source = source_of(key, payload);
    const uint64_t extra = RecordBuffer::arena_bytes_for(key.size(), payload.size(), source);
    return try_append(key.size(), payload.size(), extra, [&](RecordBuffer& filling) {
        if (source == PayloadSource::KeyBytes) {
            filling.append_payload_in_key(key);
        } else {
            filling.append(key, payload);
        }
    });
}

EngineResult<bool> Filling::try_add_bytes(Bytes raw) {
    const uint64_t key_size = uint64_t{raw.size()} + 3;
    return try_append(key_size, raw.size(), key_size, [&](RecordBuffer& filling) {
        filling.append_payload_in_key(TAG_BYTES, raw);
    });
}

EngineResult<LinesTaken> Filling::try_add_lines(Bytes text, uint8_t separator, bool may_hold_zero,
                                                size_t max_lines) {
    if (lost_records_) return Unexpected(EngineError::of_kind(ErrorKind::LostRecords));
    const uint8_t* start = text.data();
    const uint8_t* const end = start + text.size();
    LinesTaken taken;
    uint64_t bytes = 0;  // keys and payloads, as note_added counts them
    while (taken.lines < max_lines && start != end) {
        const auto* found = static_cast<const uint8_t*>(std::memchr(start, separator, end - start));
        if (found == nullptr) break;
        const size_t n = static_cast<size_t>(found - start);
        if (n + 3 >= kMaxFieldLength) break;
        if (may_hold_zero && std::memchr(start, 0, n) != nullptr) break;
        if (!filling_.fits_as_is(n + 3, half_budget_)) break;
        filling_.append_payload_in_key(TAG_BYTES, Bytes(start, n));
        bytes += 2 * uint64_t{n} + 3;
        taken.lines += 1;
        start = found + 1;
    }
    taken.bytes = static_cast<size_t>(start - text.data());
    if (taken.lines != 0) note_added(bytes, taken.lines);
    return taken;
}

EngineStatus Filling::add(Bytes key, Bytes payload, Poll& poll) {
    if (TR_TRY(try_add(key, payload))) return {};

    // The filling half is full: the previous spill must end before this one starts. A wait
    // that gave up changes nothing: the spill keeps running, the record waits.
    TR_RETURN_IF_ERROR(wait_for_spill(poll));
    // Until a spill thread holds it, the full half may be gone (an error, or a throw).
    lost_records_ = true;
    TR_RETURN_IF_ERROR(spill_full_half());
    lost_records_ = false;
    TR_CHECK(TR_TRY(try_add(key, payload)));  // an empty half never answers Full
    return {};
}

EngineStatus Filling::start_pool() {
    if (lazy_pool_threads_ == 0) return {};
    pool_ = TR_TRY(SortPool::create(lazy_pool_threads_));
    lazy_pool_threads_ = 0;
    return {};
}

// Hands the full filling half to a new spill thread and makes the spare half (or a new
// buffer) the filling half. The half's records are lost when the thread cannot start.
EngineStatus Filling::spill_full_half() {
    TR_RETURN_IF_ERROR(start_pool());
    std::string path = TR_TRY(next_run_path());
    RecordBuffer full = std::move(filling_);
    filling_ = spare_.has_value() ? std::move(*spare_) : RecordBuffer();
    spare_.reset();

    // Its byte counts come with the spill's result.
    runs_.push_back(RunInfo{path, full.record_count()});
    stats_->add_spill();
    spilling_capacity_ = full.counted_capacity();
    noted_capacity_ = 0;  // the memory held has changed shape: note it at the next add

    // The spill directory outlives the job: releasing the state ends the job first.
    spill_job_ = TR_TRY(SpillJob::launch([buffer = std::move(full), path = std::move(path), dir = spill_dir_.get(),
                                 pool = pool_, budget = half_budget_, stats = stats_,
                                 scratch = &sort_scratch_]() mutable {
        const auto start = SorterStats::Clock::now();
        SpillResult result = spill_buffer(std::move(buffer), std::move(path), *dir, pool, budget, *stats, scratch);
        stats->add_spill_time(SorterStats::since(start));
        return result;
    }));
    return {};
}

EngineStatus Filling::wait_for_spill(Poll& poll) {
    if (!spill_job_) return {};
    const auto wait_start = SorterStats::Clock::now();
    // Until the spill answers: its half is gone if an internal error on its thread is thrown here.
    lost_records_ = true;
    SpillResult sent = spill_job_->wait(poll);
    stats_->add_spill_wait(SorterStats::since(wait_start));
    const bool gave_up = !sent && sent.error().kind() == ErrorKind::GaveUp;
    lost_records_ = !sent && !gave_up;
    if (!gave_up) spill_job_.reset();
    if (!sent) return Unexpected(std::move(sent).error());
    runs_.back() = std::move(sent->run);
    spare_.emplace(std::move(sent->buffer));
    return {};
}

// The path of the next run file: makes the spill directory on first use.
EngineResult<std::string> Filling::next_run_path() {
    if (!spill_dir_) {
        spill_dir_ = TR_TRY(create_spill_dir(ops_, base_));
    }
    std::string path = spill_dir_->path();
    path += '/';
    path += run_file_name(run_counter_);
    run_counter_ += 1;
    return path;
}

}  // namespace tessarune
