// MergeSource: one sorted input of a merge. A run reader or the records held in memory.
#pragma once

#include "sorter/expected.h"
#include "sorter/growable_array.h"

namespace tessarune {

enum class NextRecord { Record, End };

class MergeSource {
public:
    virtual ~MergeSource() = default;
    // On Record, `key` and `payload` hold exactly the next record's key and payload bytes
    // (previous content replaced, capacity reused). After End every call gives End again.
    // After an error the source is not used again.
    virtual IoResult<NextRecord> next_record(ByteBuffer& key, ByteBuffer& payload) = 0;
};

}  // namespace tessarune
