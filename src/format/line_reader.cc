#include "format/line_reader.h"

#include <cstring>

namespace tessarune::format {

LineReader::LineReader(ReadableFile& file, uint8_t separator, size_t buffer_size)
    : file_(&file), separator_(separator) {
    buffer_.set_capacity(buffer_size);
}

EngineResult<bool> LineReader::fill() {
    // Called while no line is held but the last one returned: it moves along.
    const size_t keep = last_begin_;
    const size_t kept = buffer_.size() - keep;
    if (keep != 0) {
        std::memmove(buffer_.data(), buffer_.data() + keep, kept);
        buffer_.set_size(kept);
        begin_ -= keep;
        last_begin_ = 0;
    }
    if (kept == buffer_.capacity()) buffer_.reserve(kept * 2);  // lines longer than the buffer
    while (true) {
        EngineResult<size_t> got = file_->read(buffer_.data() + kept, buffer_.capacity() - kept);
        if (got) {
            buffer_.set_size(kept + *got);
            bytes_read_ += *got;
            return *got > 0;
        }
        if (got.error().kind() != ErrorKind::Interrupted) return Unexpected{std::move(got).error()};
    }
}

bool LineReader::next_line_after_fill(Bytes* line) {
    size_t searched = begin_;
    while (true) {
        const size_t n = buffer_.size();
        if (const size_t end = find_separator(searched); end < n) {
            *line = take(end, end + 1);
            return true;
        }
        if (at_end_) {
            if (begin_ == n) return false;
            *line = take(n, n);
            return true;
        }
        // The previous line may go now; fill keeps the last one. Then the search goes on
        // where it stopped, wherever fill has moved the bytes.
        previous_size_ = 0;
        searched = n - last_begin_;
        auto more = fill();
        if (!more) {
            at_end_ = true;
            error_ = std::move(more.error());
            return false;
        }
        if (!*more) at_end_ = true;
        previous_begin_ = 0;
    }
}

EngineResult<std::optional<Bytes>> LineReader::next() {
    Bytes line;
    if (next_line(&line)) return std::optional<Bytes>(line);
    if (error_) return Unexpected{*error_};
    return std::optional<Bytes>();
}

}  // namespace tessarune::format
