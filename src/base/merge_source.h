// MergeSource: one sorted input of a merge. A run reader or the records held in memory.
//
// Sources hand records out as views of their own memory, so a record is not copied on its
// way from a source to the merge's consumer.
#pragma once

#include "base/expected.h"
#include "base/growable_array.h"

namespace tessarune {

enum class NextRecord { Record, End };

// A record's key bytes and payload bytes, viewed in memory owned by whoever filled it.
// payload_in_key: the payload is key bytes 1 to K - 3 (payload views them), stored once; a
// writer keeps it that way.
struct RecordView {
    Bytes key;
    Bytes payload;
    bool payload_in_key = false;
};

class MergeSource {
public:
    virtual ~MergeSource() = default;

    // On Record, `out` views exactly the next record's key and payload bytes. The views stay
    // valid until the next call on this source, or its destruction, whichever comes first:
    // the memory they point into may be reused by that call. After End every call gives End
    // again. After an error the source is not used again.
    virtual EngineResult<NextRecord> next_record(RecordView& out) = 0;
};

}  // namespace tessarune
