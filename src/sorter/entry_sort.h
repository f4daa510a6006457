// The sort of a half: orders a record table by the record order (key bytes, a proper prefix
// first, then adding order) without moving the arena.
//
// Memory beyond the entry table: 16 bytes per record, in a scratch the caller keeps from one
// sort to the next (each of the two halves counts half of that in its budget, as only one is
// sorted at a time), or made for one sort alone. If that memory cannot be had, or a half holds
// 2^32 records or more, the sort compares entries in place instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/growable_array.h"
#include "base/record_buffer.h"
#include "base/sort_pool.h"

namespace tessarune {

// One record as the sort moves it: a window of key bytes and the entry's index.
struct SortItem {
    uint64_t window;
    uint64_t low;  // bits 63..40: key bytes 8..10 of the window; 39..32: the code; 31..0: index
};
// Kept between sorts: arrays this large are mapped, and fresh pages for every sort would cost
// each spill their faults and zeroing.
using SortScratch = GrowableArray<SortItem>;

// Below two chunks of this many records a pool is not worth waking.
inline constexpr size_t kDefaultMinChunk = 16384;

// Sorts `entries`, whose keys and payloads lie in `arena`. An entry that points outside the
// arena is an internal error (thrown before any entry moves). min_chunk >= 1; tests lower it
// to drive the parallel path with few records.
void sort_record_entries(std::span<RecordEntry> entries, std::span<const uint8_t> arena,
                         SortPool* pool, size_t min_chunk, SortScratch* scratch = nullptr);

// sort_record_entries over the buffer's table; with a pool, on its workers while the caller
// waits.
void sort_entries(RecordBuffer& buffer, SortPool* pool, SortScratch* scratch = nullptr);

}  // namespace tessarune
