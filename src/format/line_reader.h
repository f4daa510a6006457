// Lines read from a file descriptor, for the streaming merge and the order check, which keep
// one line of each input at a time: memory is one buffer per input, which grows only while a
// line is longer than it.
#pragma once

#include <cstdint>
#include <optional>

#include "base/expected.h"
#include "base/growable_array.h"

namespace tessarune::format {

class LineReader {
public:
    static constexpr size_t kDefaultBuffer = size_t{128} << 10;

    // Does not own `fd`. `separator` ends lines ('\n', or 0 for -z).
    LineReader(int fd, uint8_t separator, size_t buffer_size = kDefaultBuffer);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    LineReader(LineReader&&) = default;
    LineReader& operator=(LineReader&&) = default;

    // The next line without its separator (a last line may lack one), valid until the next
    // call; nullopt at the end of the input. A read error ends the reader.
    IoResult<std::optional<Bytes>> next();

    // Lines returned so far: the number of the line last returned.
    uint64_t line_number() const { return line_number_; }

private:
    // Reads more after the unread bytes, moving them to the front first; false at the end.
    IoResult<bool> fill();

    int fd_;
    uint8_t separator_;
    ByteBuffer buffer_;
    size_t begin_ = 0;  // the unread bytes are [begin_, buffer_.size())
    bool at_end_ = false;
    uint64_t line_number_ = 0;
};

}  // namespace tessarune::format
