// Lines read from an open file, for the streaming merge and the order check, which keep one
// line of each input at a time: memory is one buffer per input, which grows only while a line
// is longer than it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "base/expected.h"
#include "base/file_handles.h"
#include "base/growable_array.h"

namespace tessarune::format {

class LineReader {
public:
    static constexpr size_t kDefaultBuffer = size_t{64} << 10;

    // Does not own `file`, which is read from its position to its end. `separator` ends lines
    // ('\n', or 0 for -z).
    LineReader(ReadableFile& file, uint8_t separator, size_t buffer_size = kDefaultBuffer);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    LineReader(LineReader&&) = default;
    LineReader& operator=(LineReader&&) = default;

    // The next line without its separator (a last line may lack one), valid until the next
    // call; nullopt at the end of the input. A read error ends the reader.
    EngineResult<std::optional<Bytes>> next();

    // next() for the merge's loop, without the result's wrapping: true with *line set; false at
    // the end of the input or at a read error, which error() then holds.
    bool next_line(Bytes* line) {
        const size_t end = find_separator(begin_);
        if (end < buffer_.size()) {
            *line = take(end, end + 1);
            return true;
        }
        return next_line_after_fill(line);
    }
    const std::optional<EngineError>& error() const { return error_; }

    // The line that next() returned before its last line, still valid (the buffer keeps it, so
    // that an order check needs no copy); empty before the second line.
    Bytes previous() const { return Bytes(buffer_.data() + previous_begin_, previous_size_); }

    // Lines returned so far: the number of the line last returned.
    uint64_t line_number() const { return line_number_; }

    // The bytes read from the file so far.
    uint64_t bytes_read() const { return bytes_read_; }

private:
    // Reads more after the unread bytes, moving them (and the last line returned) to the front
    // first; false at the end.
    EngineResult<bool> fill();
    // The first separator at or after `from` in the buffer, or its size. Most lines are short:
    // a few words looked at in place cost less than a call to memchr.
    size_t find_separator(size_t from) const {
        const size_t n = buffer_.size();
        const uint8_t* data = buffer_.data();
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
    // Returns the line [begin_, end) and makes it the last one; the next begins at next_begin.
    Bytes take(size_t end, size_t next_begin) {
        previous_begin_ = last_begin_;
        previous_size_ = last_size_;
        last_begin_ = begin_;
        last_size_ = end - begin_;
        begin_ = next_begin;
        ++line_number_;
        return Bytes(buffer_.data() + last_begin_, last_size_);
    }
    // next_line once the buffer holds no whole line: reads more until it does.
    bool next_line_after_fill(Bytes* line);

    ReadableFile* file_;
    uint8_t separator_;
    ByteBuffer buffer_;
    size_t begin_ = 0;  // the unread bytes are [begin_, buffer_.size())
    size_t last_begin_ = 0;  // the last line returned: [last_begin_, last_begin_ + last_size_)
    size_t last_size_ = 0;
    size_t previous_begin_ = 0;  // the one before it
    size_t previous_size_ = 0;
    bool at_end_ = false;
    std::optional<EngineError> error_;
    uint64_t line_number_ = 0;
    uint64_t bytes_read_ = 0;
};

}  // namespace tessarune::format
