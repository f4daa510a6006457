// RecordBuffer: one half of the sorter's memory, a byte arena plus a table of 16-byte
// entries, with the memory accounting that bounds the sorter to max_bytes.
//
// Adding a record appends its key bytes and, right behind them, its payload bytes to the
// arena, and one RecordEntry to the table. What is counted against the half budget B is
// capacity, not length: arena capacity + 32 x entry capacity (the entry and the room its sort
// needs). A buffer moves as a whole (to a spill, back as the spare buffers, into a merge
// source); it is never copied.
//
// Thread safety: none. The filling buffer is touched only under the engine's mutex; a buffer
// handed to a spill or a merge belongs to that thread alone.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>

#include "base/growable_array.h"

namespace tessarune {

struct RecordEntry {
    uint64_t offset;          // index in the arena of the first key byte
    uint32_t key_length;
    uint32_t payload_length;  // the payload starts at offset + key_length
};
static_assert(sizeof(RecordEntry) == 16);

inline constexpr uint64_t kEntryBytes = 16;
// What the sort of a half needs per record beyond the entry (entry_sort.h). It is counted
// with each entry, so that the half and its sort stay inside the half budget together.
inline constexpr uint64_t kSortScratchBytes = 16;
inline constexpr uint64_t kCountedEntryBytes = kEntryBytes + kSortScratchBytes;

struct GrowthFits {};
struct GrowthResize {
    uint64_t arena_capacity;
    uint64_t entry_capacity;
};
struct GrowthFull {};
using GrowthPlan = std::variant<GrowthFits, GrowthResize, GrowthFull>;

class RecordBuffer {
public:
    RecordBuffer() = default;  // empty, no storage
    RecordBuffer(RecordBuffer&&) noexcept = default;
    RecordBuffer& operator=(RecordBuffer&&) noexcept = default;

    size_t record_count() const { return entries_.size(); }
    uint64_t arena_length() const { return arena_.size(); }
    uint64_t arena_capacity() const { return arena_.capacity(); }
    uint64_t entry_capacity() const { return entries_.capacity(); }
    // arena capacity + 32 x entry capacity
    uint64_t counted_capacity() const;

    // Appends a record. Never fails for lack of capacity: a short array grows (after
    // apply_plan it never is). REQUIRES: key and payload each shorter than 2^32 bytes.
    void append(Bytes key, Bytes payload);

    // The key and payload of entry i of the table (in its current order). Both ranges are
    // checked against the arena: a failing check is an internal error.
    Bytes key_of(size_t i) const;
    Bytes payload_of(size_t i) const;

    // Lengths to 0, capacities kept.
    void clear();
    // Frees both arrays.
    void release();

    GrowableArray<RecordEntry>& entries() { return entries_; }
    const GrowableArray<RecordEntry>& entries() const { return entries_; }
    const ByteBuffer& arena() const { return arena_; }
    ByteBuffer& arena() { return arena_; }

private:
    ByteBuffer arena_;
    GrowableArray<RecordEntry> entries_;
};

// The plan for adding a record of `extra` = key length + payload length bytes to `buffer`
// under the half budget `half_budget` (B >= 1).
GrowthPlan plan_growth(const RecordBuffer& buffer, uint64_t extra, uint64_t half_budget);

// The same plan from the sizes alone (a buffer need not exist: lets budgets of any size be
// planned without allocating them).
struct BufferSizes {
    uint64_t arena_capacity;
    uint64_t arena_length;
    uint64_t entry_capacity;
    uint64_t entry_count;
};
GrowthPlan plan_growth(const BufferSizes& sizes, uint64_t extra, uint64_t half_budget);

// Computes the plan and carries it out: Fits gives true; Resize sets both capacities to
// exactly the planned values and gives true; Full gives false.
bool apply_plan(RecordBuffer& buffer, uint64_t extra, uint64_t half_budget);

}  // namespace tessarune
