// RecordBuffer: one half of the sorter's memory, a byte arena plus a table of 16-byte
// entries, with the memory accounting that bounds the sorter to max_bytes.
//
// Adding a record appends its key bytes and, right behind them, its payload bytes to the
// arena, and one RecordEntry to the table. What is counted against the half budget B is
// capacity, not length: arena capacity + 24 x entry capacity (the entry and the room its sort
// needs). A buffer moves as a whole (to a spill, back as the spare buffers, into a merge
// source); it is never copied.
//
// Thread safety: none. The filling buffer is touched only under the engine's mutex; a buffer
// handed to a spill or a merge belongs to that thread alone.
#pragma once

#include <cstdint>
#include <variant>

#include "base/growable_array.h"

namespace tessarune {

struct RecordEntry {
    uint64_t offset;          // index in the arena of the first key byte, and kPayloadInKey
    uint32_t key_length;
    uint32_t payload_length;  // the payload starts at offset + key_length
};
static_assert(sizeof(RecordEntry) == 16);

inline constexpr uint64_t kEntryBytes = 16;
// What the sort of a half needs per record beyond the entry (entry_sort.h) is 16 bytes, but
// only one half is ever sorted at a time (a spill sorts its half while the other fills; the
// read sorts the last half once the spill has ended). So each half counts half of it with
// each entry: both halves together then hold room for one sort of either.
inline constexpr uint64_t kSortScratchBytes = 8;
inline constexpr uint64_t kCountedEntryBytes = kEntryBytes + kSortScratchBytes;

// A record added with PayloadSource::KeyBytes keeps no payload bytes of its own: its payload
// is key bytes 1 to K - 3 (the raw bytes of a bytes key without zero bytes, which the key's
// tag and closing 00 00 surround), and its entry has payload_length 0 and this bit set in
// offset. An arena never comes near 2^63 bytes, so the bit is free; whatever reads the
// arena through an entry's offset masks it with entry_offset().
inline constexpr uint64_t kPayloadInKey = uint64_t{1} << 63;
inline uint64_t entry_offset(const RecordEntry& e) { return e.offset & ~kPayloadInKey; }
inline bool payload_in_key(const RecordEntry& e) { return (e.offset & kPayloadInKey) != 0; }

// The payload of a record whose payload is in its key. REQUIRES: key size >= 3.
inline Bytes payload_from_key(Bytes key) { return key.subspan(1, key.size() - 3); }

enum class PayloadSource : uint8_t {
    Given,     // the payload is its own bytes
    KeyBytes,  // the payload is key bytes 1 to K - 3; REQUIRES K >= 3
};

struct GrowthFits {};
struct GrowthResize {
    uint64_t arena_capacity;
    uint64_t entry_capacity;
};
struct GrowthFull {};
using GrowthPlan = std::variant<GrowthFits, GrowthResize, GrowthFull>;

class RecordBuffer {
public:
    size_t record_count() const { return entries_.size(); }
    uint64_t arena_length() const { return arena_.size(); }
    uint64_t arena_capacity() const { return arena_.capacity(); }
    uint64_t entry_capacity() const { return entries_.capacity(); }
    uint64_t counted_capacity() const;

    // Appends a record. Never fails for lack of capacity: a short array grows (after
    // apply_plan it never is). REQUIRES: key and payload each shorter than 2^32 bytes.
    void append(Bytes key, Bytes payload);
    // Appends a record whose payload is the key's bytes (PayloadSource::KeyBytes): only the
    // key goes into the arena. REQUIRES: 3 <= key size < 2^32.
    void append_payload_in_key(Bytes key);
    // The same for the key `tag raw 00 00`, written straight into the arena: the record of a
    // bytes key whose payload is its own bytes. REQUIRES: raw holds no zero byte, and is
    // shorter than 2^32 - 3 bytes.
    void append_payload_in_key(uint8_t tag, Bytes raw);
    // The arena bytes a record takes: the key, and the payload unless it is in the key.
    static uint64_t arena_bytes_for(uint64_t key_length, uint64_t payload_length,
                                    PayloadSource source) {
        return source == PayloadSource::KeyBytes ? key_length : key_length + payload_length;
    }
    // Whether a record of `extra` arena bytes fits as the buffer stands, under the half
    // budget: a quick yes for the usual case, where plan_growth would answer GrowthFits.
    // False says nothing; ask plan_growth then.
    bool fits_as_is(uint64_t extra, uint64_t half_budget) const {
        return arena_.capacity() - arena_.size() >= extra &&
               entries_.size() < entries_.capacity() && counted_capacity() <= half_budget;
    }

    // The key and payload of entry i of the table (in its current order). Both ranges are
    // checked against the arena: a failing check is an internal error.
    Bytes key_of(size_t i) const;
    Bytes payload_of(size_t i) const;
    bool payload_in_key_of(size_t i) const { return payload_in_key(entries_[i]); }

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
