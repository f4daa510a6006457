// MemorySource: a sorted RecordBuffer read as one source of a merge. Never fails.
#pragma once

#include "base/merge_source.h"
#include "base/record_buffer.h"

namespace tessarune {

class MemorySource final : public MergeSource {
public:
    // REQUIRES: buffer in record order (key bytes, then adding order).
    explicit MemorySource(RecordBuffer buffer) : buffer_(std::move(buffer)) {}
    using MergeSource::next_record;
    // Views into the buffer's arena: they stay valid for the source's whole life.
    EngineResult<NextRecord> next_record(RecordView& out) override;

private:
    RecordBuffer buffer_;
    size_t cursor_ = 0;
};

}  // namespace tessarune
