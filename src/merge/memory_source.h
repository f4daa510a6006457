// MemorySource: a sorted RecordBuffer read as one source of a merge. Never fails.
#pragma once

#include <utility>

#include "base/merge_source.h"
#include "base/record_buffer.h"

namespace tessarune {

class MemorySource final : public MergeSource {
public:
    // REQUIRES: buffer in record order (key bytes, then adding order).
    explicit MemorySource(RecordBuffer buffer) : buffer_(std::move(buffer)) {}
    using MergeSource::next_record;
    // Views into the buffer's arena: they stay valid for the source's whole life.
    EngineResult<NextRecord> next_record(RecordView& out) override {
        if (cursor_ == buffer_.record_count()) return NextRecord::End;
        out = {buffer_.key_of(cursor_), buffer_.payload_of(cursor_), buffer_.payload_in_key_of(cursor_)};
        // The records lie in the arena in adding order, so each one read in key order is a
        // cache miss; the next one is fetched now, while the merge takes records from the
        // other sources.
        if (++cursor_ != buffer_.record_count()) {
            const uint8_t* next = buffer_.arena().data() + entry_offset(buffer_.entries()[cursor_]);
            __builtin_prefetch(next);
            __builtin_prefetch(next + 64);
        }
        return NextRecord::Record;
    }

private:
    RecordBuffer buffer_;
    size_t cursor_ = 0;
};

}  // namespace tessarune
