#include "sorter/memory_source.h"

namespace tessarune {

IoResult<NextRecord> MemorySource::next_record(ByteBuffer& key, ByteBuffer& payload) {
    if (cursor_ == buffer_.record_count()) return NextRecord::End;
    const Bytes k = buffer_.key_of(cursor_);
    const Bytes p = buffer_.payload_of(cursor_);
    key.clear();
    key.append(k);
    payload.clear();
    payload.append(p);
    ++cursor_;
    return NextRecord::Record;
}

}  // namespace tessarune
