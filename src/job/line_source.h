// LineSource: the lines of one input of -m as a source of the engine's merger. Each record's
// key is the line's LineOrder key and its payload the line (without its separator).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/file_handles.h"
#include "base/growable_array.h"
#include "base/merge_source.h"
#include "format/line_reader.h"
#include "job/line_order.h"

namespace tessarune::job {

class LineSource final : public MergeSource {
public:
    // `order` is shared by the sources of one merge and outlives them. `counted`, if not
    // null, has every byte read from the file added to it as it is read. A read error reads
    // "read failed: NAME: REASON".
    LineSource(std::unique_ptr<ReadableFile> file, std::string name, uint8_t separator, LineOrder& order,
               uint64_t* counted);

    EngineResult<NextRecord> next_record(RecordView& out) override;

private:
    std::unique_ptr<ReadableFile> file_;
    std::string name_;
    format::LineReader reader_;
    LineOrder& order_;
    ByteBuffer key_;
    uint64_t* counted_;
    uint64_t bytes_counted_ = 0;
};

}  // namespace tessarune::job
