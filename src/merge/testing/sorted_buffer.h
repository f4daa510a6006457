// Puts a record buffer in record order for merge tests, without the engine's sort: a
// stable sort by key bytes, so records of equal keys keep their adding order.
#pragma once

#include <algorithm>

#include "base/record_buffer.h"
#include "key/key_compare.h"

namespace tessarune::testing {

inline void sort_held_records(RecordBuffer& buffer) {
    const uint8_t* arena = buffer.arena().data();
    std::span<RecordEntry> entries = buffer.entries().span();
    std::stable_sort(entries.begin(), entries.end(), [arena](const RecordEntry& a, const RecordEntry& b) {
        return compare_keys(Bytes(arena + a.offset, a.key_length),
                            Bytes(arena + b.offset, b.key_length)) < 0;
    });
}

}  // namespace tessarune::testing
