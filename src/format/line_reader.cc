#include "format/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessarune::format {

LineReader::LineReader(int fd, uint8_t separator, std::optional<Range> range, size_t buffer_size)
    : fd_(fd), separator_(separator), range_(range) {
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
        size_t room = buffer_.capacity() - kept;
        ssize_t got = 0;
        if (range_) {
            if (range_->end - range_->begin < room) room = static_cast<size_t>(range_->end - range_->begin);
            got = room == 0 ? 0 : ::pread(fd_, buffer_.data() + kept, room, static_cast<off_t>(range_->begin));
            if (got > 0) range_->begin += static_cast<uint64_t>(got);
        } else {
            got = ::read(fd_, buffer_.data() + kept, room);
        }
        if (got >= 0) {
            buffer_.set_size(kept + static_cast<size_t>(got));
            return got > 0;
        }
        if (errno != EINTR) return Unexpected{EngineError::from_errno(errno)};
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
