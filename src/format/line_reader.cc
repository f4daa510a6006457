#include "format/line_reader.h"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace tessarune::format {

LineReader::LineReader(int fd, uint8_t separator, std::optional<Range> range, size_t buffer_size)
    : fd_(fd), separator_(separator), range_(range) {
    buffer_.set_capacity(buffer_size);
}

IoResult<bool> LineReader::fill() {
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
        if (errno != EINTR) return Unexpected{IoError::from_errno(errno)};
    }
}

Bytes LineReader::take(size_t end, size_t next_begin) {
    previous_begin_ = last_begin_;
    previous_size_ = last_size_;
    last_begin_ = begin_;
    last_size_ = end - begin_;
    begin_ = next_begin;
    ++line_number_;
    return Bytes(buffer_.data() + last_begin_, last_size_);
}

size_t LineReader::find_separator(size_t from) const {
    const size_t n = buffer_.size();
    const uint8_t* data = buffer_.data();
    // Most lines are short: a few words looked at in place cost less than a call to memchr.
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kOnes = 0x0101010101010101;
        constexpr uint64_t kHighs = 0x8080808080808080;
        const uint64_t pattern = kOnes * separator_;
        for (int words = 0; words < 4 && n - from >= 8; ++words, from += 8) {
            uint64_t w;
            std::memcpy(&w, data + from, 8);
            const uint64_t x = w ^ pattern;
            if (const uint64_t marks = (x - kOnes) & ~x & kHighs) {
                return from + static_cast<size_t>(std::countr_zero(marks)) / 8;
            }
        }
    }
    const void* found = std::memchr(data + from, separator_, n - from);
    return found == nullptr ? n : static_cast<size_t>(static_cast<const uint8_t*>(found) - data);
}

IoResult<std::optional<Bytes>> LineReader::next() {
    size_t searched = begin_;
    while (true) {
        const size_t n = buffer_.size();
        if (const size_t end = find_separator(searched); end < n) return std::optional<Bytes>(take(end, end + 1));
        if (at_end_) {
            if (begin_ == n) return std::optional<Bytes>();
            return std::optional<Bytes>(take(n, n));
        }
        // The previous line may go now; fill keeps the last one. Then the search goes on
        // where it stopped, wherever fill has moved the bytes.
        previous_size_ = 0;
        searched = n - last_begin_;
        auto more = fill();
        if (!more) {
            at_end_ = true;
            return Unexpected{std::move(more.error())};
        }
        if (!*more) at_end_ = true;
        previous_begin_ = 0;
    }
}

}  // namespace tessarune::format
