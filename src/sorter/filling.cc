#include "sorter/filling.h"

#include <cstring>
#include <string>
#include <utility>

#include "key/key_encoding.h"
#include "sorter/engine_state.h"
#include "sorter/sorter_core.h"
#include "sorter/spill.h"

namespace tessarune {

namespace {

constexpr uint64_t kMaxFieldLength = uint64_t{1} << 32;

}  // namespace

bool filling_is_full_for(const FillingState& state, uint64_t key_length, uint64_t payload_length,
                         PayloadSource source) {
    return std::holds_alternative<GrowthFull>(plan_growth(
        state.filling, RecordBuffer::arena_bytes_for(key_length, payload_length, source),
        state.half_budget));
}

namespace {

// Runs once per record under the engine's mutex: plain counts, published by plain stores,
// and the memory looked at again only when the filling half grew.
void note_added(FillingState& state, uint64_t bytes, uint64_t items = 1) {
    state.added_items += items;
    state.added_bytes += bytes;
    state.stats->set_added(state.added_items, state.added_bytes);
    const uint64_t capacity = state.filling.counted_capacity();
    if (capacity == state.noted_capacity) return;
    state.noted_capacity = capacity;
    uint64_t held = capacity;
    if (state.spill_job) held += state.spilling_capacity;
    if (state.spare) held += state.spare->counted_capacity();
    state.stats->note_memory(held);
}

// Hands the full filling half to a new spill thread and makes the spare buffers (or a new
// buffer) the filling half. The half's records are lost when the thread cannot start.
EngineStatus hand_off_full_half(FillingState& state, std::string path) {
    RecordBuffer full = std::move(state.filling);
    state.filling = state.spare.has_value() ? std::move(*state.spare) : RecordBuffer();
    state.spare.reset();

    const uint64_t n = full.record_count();
    const uint64_t run_bytes = 8 * n + full.arena_length() + full.flagged_count();
    state.runs.push_back(RunInfo{path, n, run_bytes});
    state.stats->add_spill(run_bytes);
    state.spilling_capacity = full.counted_capacity();
    state.noted_capacity = 0;  // the memory held has changed shape: note it at the next add

    // The spill directory outlives the job: releasing the state ends the job first.
    auto job = launch_spill([buffer = std::move(full), path = std::move(path), dir = state.spill_dir.get(),
                             pool = state.pool, budget = state.half_budget,
                             stats = state.stats](SpillChannel& result_channel) mutable {
        const auto start = SorterStats::Clock::now();
        SpillResult result = spill_buffer(std::move(buffer), std::move(path), *dir, pool, budget, *stats);
        stats->add_spill_time(SorterStats::since(start));
        result_channel.send(std::move(result));
    });
    if (!job) return Unexpected(std::move(job).error());
    state.spill_job = std::move(job).value();
    return {};
}

}  // namespace

namespace {

void append_record(RecordBuffer& buffer, Bytes key, Bytes payload, PayloadSource source) {
    if (source == PayloadSource::KeyBytes) {
        buffer.append_payload_in_key(key);
    } else {
        buffer.append(key, payload);
    }
}

}  // namespace

namespace {

// Appends a record of key_size + payload_size bytes, `extra` of them in the arena, with
// append(buffer) when the filling half has room for it; false when it is full.
template <typename Append>
EngineResult<bool> try_append(FillingState& state, uint64_t key_size, uint64_t payload_size,
                              uint64_t extra, Append append) {
    if (state.lost_records) return Unexpected(EngineError::of_kind(ErrorKind::LostRecords));
    if (key_size >= kMaxFieldLength || payload_size >= kMaxFieldLength) {
        return Unexpected(EngineError(ErrorKind::InvalidArgument, "a key or value must be shorter than 4 GiB"));
    }
    RecordBuffer& filling = state.filling;
    if (!filling.fits_as_is(extra, state.half_budget)) {
        const GrowthPlan plan = plan_growth(filling, extra, state.half_budget);
        if (std::holds_alternative<GrowthFull>(plan)) return false;
        if (const auto* resize = std::get_if<GrowthResize>(&plan)) {
            filling.arena().set_capacity(resize->arena_capacity);
            filling.entries().set_capacity(resize->entry_capacity);
        }
    }
    append(filling);
    note_added(state, key_size + payload_size);
    return true;
}

}  // namespace

EngineResult<bool> try_add_to_filling(FillingState& state, Bytes key, Bytes payload,
                                      PayloadSource source) {
    if (source == PayloadSource::KeyBytes) TR_CHECK(key.size() >= 3);
    const uint64_t extra = RecordBuffer::arena_bytes_for(key.size(), payload.size(), source);
    return try_append(state, key.size(), payload.size(), extra, [&](RecordBuffer& filling) {
        append_record(filling, key, payload, source);
    });
}

EngineResult<bool> try_add_bytes_to_filling(FillingState& state, Bytes raw) {
    const uint64_t key_size = uint64_t{raw.size()} + 3;
    return try_append(state, key_size, raw.size(), key_size, [&](RecordBuffer& filling) {
        filling.append_payload_in_key(TAG_BYTES, raw);
    });
}

EngineResult<LinesTaken> try_add_lines_to_filling(FillingState& state, Bytes text, uint8_t separator,
                                                  bool may_hold_zero, size_t max_lines) {
    if (state.lost_records) return Unexpected(EngineError::of_kind(ErrorKind::LostRecords));
    RecordBuffer& filling = state.filling;
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
        if (!filling.fits_as_is(n + 3, state.half_budget)) break;
        filling.append_payload_in_key(TAG_BYTES, Bytes(start, n));
        bytes += 2 * uint64_t{n} + 3;
        taken.lines += 1;
        start = found + 1;
    }
    taken.bytes = static_cast<size_t>(start - text.data());
    if (taken.lines != 0) note_added(state, bytes, taken.lines);
    return taken;
}

EngineStatus add_to_filling(FillingState& state, Bytes key, Bytes payload, Poll& poll) {
    return add_to_filling(state, key, payload, PayloadSource::Given, poll);
}

EngineStatus add_to_filling(FillingState& state, Bytes key, Bytes payload, PayloadSource source,
                            Poll& poll) {
    EngineResult<bool> added = try_add_to_filling(state, key, payload, source);
    if (!added) return Unexpected(std::move(added).error());
    if (*added) return {};

    // The filling half is full: the previous spill must end before this one starts. An
    // interrupted wait changes nothing: the spill keeps running, the record waits.
    EngineStatus waited = wait_for_spill(state, poll);
    if (!waited) return waited;
    if (state.lost_records) return Unexpected(EngineError::of_kind(ErrorKind::LostRecords));
    const uint64_t extra = RecordBuffer::arena_bytes_for(key.size(), payload.size(), source);
    EngineResult<std::string> path = new_run_path(state);
    if (!path) {
        state.lost_records = true;
        return Unexpected(std::move(path).error());
    }
    try {
        EngineStatus started = hand_off_full_half(state, std::move(path).value());
        if (!started) {
            state.lost_records = true;
            return started;
        }
    } catch (...) {
        state.lost_records = true;  // the full half left the state and may be gone
        throw;
    }
    const bool taken = apply_plan(state.filling, extra, state.half_budget);
    TR_CHECK(taken);  // an empty half never answers Full
    append_record(state.filling, key, payload, source);
    note_added(state, key.size() + payload.size());
    return {};
}

}  // namespace tessarune
