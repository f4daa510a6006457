#include "merge/memory_source.h"

namespace tessarune {

IoResult<NextRecord> MemorySource::next_record(RecordView& out) {
    if (cursor_ == buffer_.record_count()) return NextRecord::End;
    out.key = buffer_.key_of(cursor_);
    out.payload = buffer_.payload_of(cursor_);
    out.payload_in_key = buffer_.payload_in_key_of(cursor_);
    ++cursor_;
    return NextRecord::Record;
}

}  // namespace tessarune
