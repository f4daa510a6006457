#include "job/input_buffer.h"

#include <cstring>

#include "format/csv_scanner.h"
#include "job/job_errors.h"

namespace tessarune::job {

InputBuffer::InputBuffer(ReadableFile& file, std::string name, size_t read_size)
    : file_(file), name_(std::move(name)), data_(read_size) {}

EngineStatus InputBuffer::fill() {
    if (data_.size() == data_.capacity()) data_.reserve(data_.size() + 1);  // doubles
    for (;;) {
        EngineResult<size_t> got = file_.read(data_.data() + data_.size(), data_.capacity() - data_.size());
        if (got) {
            if (*got == 0) at_end_ = true;
            data_.set_size(data_.size() + *got);
            new_bytes_ += *got;
            return {};
        }
        if (got.error().kind() != ErrorKind::Interrupted) {
            return Unexpected(file_error("read failed", name_, got.error()));
        }
    }
}

EngineStatus InputBuffer::skip_bom() {
    constexpr size_t kBomLength = 3;
    while (data_.size() < kBomLength && !at_end_) TR_RETURN_IF_ERROR(fill());
    drop(format::utf8_bom_length(data_.span()));
    return {};
}

void InputBuffer::end_last_record(std::string_view ends) {
    if (data_.empty() || ends.find(static_cast<char>(data_[data_.size() - 1])) != std::string_view::npos) return;
    data_.push_back(static_cast<uint8_t>(ends[0]));
}

void InputBuffer::drop(size_t count) {
    if (count == 0) return;
    const size_t rest = data_.size() - count;
    std::memmove(data_.data(), data_.data() + count, rest);
    data_.set_size(rest);
}

}  // namespace tessarune::job
