// The sort behind sort_entries: orders a record table by the record order (key bytes, a
// proper prefix first, then offset, then payload length) without moving the arena.
//
// Comparisons dominate, and reading a key means a cache miss into the arena, so the sort
// works on a table of items that carry each key's first 8 bytes as a big-endian integer next
// to the entry: most comparisons end on that integer, and the arena is read only when two
// prefixes are equal.
//
// Memory beyond the buffer's own (allocated once per sort, freed when it returns):
// 24 bytes per record for the item table, and with a pool another 24 bytes per record that
// the sorted chunks are merged into. If that memory cannot be had, the sort falls back to
// the slower comparison of entries in place (and to one thread if only the merge space is
// missing).
//
// With a pool of W >= 2 workers, the table is cut into up to W chunks that the workers sort
// at once; the chunks are then merged pairwise, each pair's output split between the workers
// by co-ranking, so that every merge round uses every worker too. The calling thread only
// waits.
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
// the sort runs on the pool's workers and the caller waits. Memory beyond max_bytes while it
// runs: 24 bytes per record, 48 with a pool (see above).
void sort_entries(RecordBuffer& buffer, SortPool* pool);

}  // namespace tessarune
