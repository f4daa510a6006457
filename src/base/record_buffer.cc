#include "base/record_buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/engine_error.h"

namespace tessarune {
namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr uint64_t kFirstArenaBytes = 65536;
constexpr uint64_t kFirstEntries = 1024;
constexpr uint64_t kMaxField = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kSaturated = std::numeric_limits<uint64_t>::max();

// A budget check must not pass because a sum wrapped around, however large max_bytes is.
uint64_t sat_add(uint64_t a, uint64_t b) { return a > kSaturated - b ? kSaturated : a + b; }
uint64_t sat_entry_bytes(uint64_t entries) {
    return entries > kSaturated / kCountedEntryBytes ? kSaturated : entries * kCountedEntryBytes;
}
uint64_t sat_double(uint64_t n) { return n > kSaturated / 2 ? kSaturated : n * 2; }

}  // namespace

uint64_t RecordBuffer::counted_capacity() const {
    return sat_add(arena_capacity(), sat_entry_bytes(entry_capacity()));
}

void RecordBuffer::append(Bytes key, Bytes payload) {
    TR_CHECK(key.size() <= kMaxField && payload.size() <= kMaxField);
    entries_.push_back(RecordEntry{arena_.size(), static_cast<uint32_t>(key.size()),
                                   static_cast<uint32_t>(payload.size())});
    arena_.append(key);
    arena_.append(payload);
}

void RecordBuffer::append_payload_in_key(Bytes key) {
    TR_CHECK(key.size() >= 3 && key.size() <= kMaxField);
    entries_.push_back(
        RecordEntry{arena_.size() | kPayloadInKey, static_cast<uint32_t>(key.size()), 0});
    arena_.append(key);
}

void RecordBuffer::append_payload_in_key(uint8_t tag, Bytes raw) {
    TR_CHECK(raw.size() + 3 <= kMaxField);
    const size_t at = arena_.size();
    entries_.push_back(
        RecordEntry{at | kPayloadInKey, static_cast<uint32_t>(raw.size() + 3), 0});
    arena_.reserve(at + raw.size() + 3);
    uint8_t* to = arena_.data() + at;
    to[0] = tag;
    if (!raw.empty()) std::memcpy(to + 1, raw.data(), raw.size());
    to[raw.size() + 1] = 0;
    to[raw.size() + 2] = 0;
    arena_.set_size(at + raw.size() + 3);
}

Bytes RecordBuffer::key_of(size_t i) const {
    TR_CHECK(i < entries_.size());
    const RecordEntry& e = entries_[i];
    const uint64_t offset = entry_offset(e);
    TR_CHECK(offset <= arena_.size() && e.key_length <= arena_.size() - offset);
    return Bytes(arena_.data() + offset, e.key_length);
}

Bytes RecordBuffer::payload_of(size_t i) const {
    const Bytes key = key_of(i);  // checks the entry and its key
    const RecordEntry& e = entries_[i];
    if (payload_in_key(e)) {
        TR_CHECK(key.size() >= 3);
        return payload_from_key(key);
    }
    const uint64_t start = entry_offset(e) + e.key_length;
    TR_CHECK(e.payload_length <= arena_.size() - start);
    return Bytes(arena_.data() + start, e.payload_length);
}

void RecordBuffer::clear() {
    arena_.clear();
    entries_.clear();
}

void RecordBuffer::release() {
    arena_.release();
    entries_.release();
}

GrowthPlan plan_growth(const RecordBuffer& buffer, uint64_t extra, uint64_t half_budget) {
    return plan_growth(BufferSizes{buffer.arena_capacity(), buffer.arena_length(),
                                   buffer.entry_capacity(), buffer.record_count()},
                       extra, half_budget);
}

GrowthPlan plan_growth(const BufferSizes& sizes, uint64_t extra, uint64_t half_budget) {
    const uint64_t a = sizes.arena_capacity;
    const uint64_t e = sizes.entry_capacity;
    const uint64_t n = sizes.entry_count;
    const uint64_t need = sat_add(sizes.arena_length, extra);
    const uint64_t b = half_budget;
    const uint64_t counted = sat_add(a, sat_entry_bytes(e));

    if (counted <= b) {
        if (need <= a && n < e) return GrowthFits{};
    } else if (need <= a && n == 0 && e != 0) {
        return GrowthFits{};
    }

    const uint64_t a2 = need <= a ? a : std::max({sat_double(a), need, kFirstArenaBytes});
    const uint64_t e2 = n < e ? e : std::max({sat_double(e), n + 1, kFirstEntries});
    if (sat_add(a2, sat_entry_bytes(e2)) <= b) return GrowthResize{a2, e2};

    // The geometric step would pass the budget.
    if (n == 0) return GrowthResize{std::max(a, need), std::max<uint64_t>(e, 1)};
    const uint64_t exact = sat_add(need, sat_entry_bytes(n + 1));
    if (exact > b - b / 8) return GrowthFull{};
    // exact <= B here, so the split gives need <= A' and N + 1 <= E' with A' + 24E' <= B.
    const uint64_t a3 = static_cast<uint64_t>(Uint128(need) * b / exact);
    return GrowthResize{a3, (b - a3) / kCountedEntryBytes};
}

bool apply_plan(RecordBuffer& buffer, uint64_t extra, uint64_t half_budget) {
    const GrowthPlan plan = plan_growth(buffer, extra, half_budget);
    if (std::holds_alternative<GrowthFull>(plan)) return false;
    if (const auto* resize = std::get_if<GrowthResize>(&plan)) {
        buffer.arena().set_capacity(resize->arena_capacity);
        buffer.entries().set_capacity(resize->entry_capacity);
    }
    return true;
}

}  // namespace tessarune
