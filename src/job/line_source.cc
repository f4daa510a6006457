#include "job/line_source.h"

#include <utility>

#include "job/job_errors.h"

namespace tessarune::job {

LineSource::LineSource(std::unique_ptr<ReadableFile> file, std::string name, uint8_t separator, LineOrder& order,
                       uint64_t* counted)
    : file_(std::move(file)), name_(std::move(name)), reader_(*file_, separator), order_(order), counted_(counted) {}

EngineResult<NextRecord> LineSource::next_record(RecordView& out) {
    Bytes line;
    const bool got = reader_.next_line(&line);
    if (counted_ != nullptr) {
        *counted_ += reader_.bytes_read() - bytes_counted_;
        bytes_counted_ = reader_.bytes_read();
    }
    if (!got) {
        if (reader_.error()) return Unexpected(file_error("read failed", name_, *reader_.error()));
        return NextRecord::End;
    }
    out.key = order_.key_of(line, key_);
    out.payload = line;
    out.payload_in_key = false;
    return NextRecord::Record;
}

}  // namespace tessarune::job
