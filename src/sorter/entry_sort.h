// The sort behind sort_entries: orders a record table by the record order (key bytes, a
// proper prefix first, then adding order) without moving the arena.
//
// Reading a key means a cache miss into the arena, so the sort works on a table of 16-byte
// items that carry 11 key bytes, how many of them the key has, and the entry's index. The
// bytes that every key of the buffer shares (the type tag, a common date) carry no order, so
// the items' bytes start behind them; when bytes further on never change either (the
// separators of a timestamp), the first items carry the first 11 bytes that do. The items
// are sorted as integers: an MSD radix partition on the eight highest bits in which they
// differ (skipping bits that never change), std::sort for small ranges. Items that still tie
// and whose keys go on are loaded again from the next 11 bytes and sorted again, so the arena
// is read once per item and level, never once per comparison.
//
// Memory beyond the entry table: 16 bytes per record for the items (each of the two halves
// counts half of that in its budget, as only one is sorted at a time), allocated once per
// sort and freed when it returns. The sorted items
// are overwritten in place by the entries they stand for and copied back. If that memory
// cannot be had, or a half holds 2^32 records or more, the sort falls back to comparing
// entries in place.
//
// With a pool of W >= 2 workers, the common prefix and the items are made in W chunks at
// once; the calling thread partitions the items once by their leading bits, and the workers
// sort the buckets, largest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/record_buffer.h"
#include "base/sort_pool.h"

namespace tessarune {

// Below two chunks of this many records a pool is not worth waking.
inline constexpr size_t kDefaultMinChunk = 16384;

// Sorts `entries`, whose keys and payloads lie in `arena`. An entry that points outside the
// arena is an internal error (thrown before any entry moves). min_chunk >= 1; tests lower it
// to drive the parallel path with few records.
void sort_record_entries(std::span<RecordEntry> entries, std::span<const uint8_t> arena,
                         SortPool* pool, size_t min_chunk);

// The total order of records: key bytes (unsigned, a proper prefix first), then offset
// (adding order), then payload length. Both entries belong to `buffer`.
bool entry_less(const RecordBuffer& buffer, const RecordEntry& a, const RecordEntry& b);
int compare_entries(const RecordBuffer& buffer, const RecordEntry& a, const RecordEntry& b);

// Sorts the entry table in place by compare_entries; the arena does not move. With a pool,
// the sort runs on the pool's workers and the caller waits. Memory while it runs: 16 bytes per
// record, inside the half's counted capacity (see above).
void sort_entries(RecordBuffer& buffer, SortPool* pool);

}  // namespace tessarune
