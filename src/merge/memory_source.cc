#include "merge/memory_source.h"

namespace tessarune {

EngineResult<NextRecord> MemorySource::next_record(RecordView& out) {
    if (cursor_ == buffer_.record_count()) return NextRecord::End;
    out.key = buffer_.key_of(cursor_);
    out.payload = buffer_.payload_of(cursor_);
    out.payload_in_key = buffer_.payload_in_key_of(cursor_);
    ++cursor_;
    // The records lie in the arena in adding order, so each one read in key order is a cache
    // miss; the next one is fetched now, while the merge takes records from the other sources.
    if (cursor_ != buffer_.record_count()) {
        const uint8_t* next = buffer_.arena().data() + entry_offset(buffer_.entries()[cursor_]);
        __builtin_prefetch(next);
        __builtin_prefetch(next + 64);
    }
    return NextRecord::Record;
}

}  // namespace tessarune
