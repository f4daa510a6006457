#include "format/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessarune::format {

LineReader::LineReader(int fd, uint8_t separator, size_t buffer_size) : fd_(fd), separator_(separator) {
    buffer_.set_capacity(buffer_size);
}

IoResult<bool> LineReader::fill() {
    const size_t unread = buffer_.size() - begin_;
    if (begin_ != 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
        buffer_.set_size(unread);
        begin_ = 0;
    }
    if (unread == buffer_.capacity()) buffer_.reserve(unread * 2);  // a line longer than the buffer
    while (true) {
        const ssize_t got = ::read(fd_, buffer_.data() + unread, buffer_.capacity() - unread);
        if (got >= 0) {
            buffer_.set_size(unread + static_cast<size_t>(got));
            return got > 0;
        }
        if (errno != EINTR) return Unexpected{IoError::from_errno(errno)};
    }
}

IoResult<std::optional<Bytes>> LineReader::next() {
    size_t searched = begin_;
    while (true) {
        const size_t n = buffer_.size();
        if (const void* found = std::memchr(buffer_.data() + searched, separator_, n - searched)) {
            const auto end = static_cast<size_t>(static_cast<const uint8_t*>(found) - buffer_.data());
            const Bytes line(buffer_.data() + begin_, end - begin_);
            begin_ = end + 1;
            ++line_number_;
            return std::optional<Bytes>(line);
        }
        if (at_end_) {
            if (begin_ == n) return std::optional<Bytes>();
            const Bytes line(buffer_.data() + begin_, n - begin_);
            begin_ = n;
            ++line_number_;
            return std::optional<Bytes>(line);
        }
        searched = n - begin_;  // where the search goes on once fill has moved the bytes
        auto more = fill();
        if (!more) {
            at_end_ = true;
            return Unexpected{std::move(more.error())};
        }
        if (!*more) at_end_ = true;
    }
}

}  // namespace tessarune::format
