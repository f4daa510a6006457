#include "format/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace tessarune::format {
namespace {

// A file in memory that hands out at most `chunk` bytes a call, and can be interrupted or
// fail at a chosen call.
class StringFile final : public ReadableFile {
public:
    StringFile(std::string text, size_t chunk) : text_(std::move(text)), chunk_(chunk) {}

    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        ++calls_;
        if (calls_ == interrupt_at) return Unexpected(EngineError::from_errno(EINTR));
        if (calls_ == fail_at) return Unexpected(EngineError::from_errno(EIO));
        const size_t got = std::min({n, chunk_, text_.size() - at_});
        text_.copy(reinterpret_cast<char*>(data), got, at_);
        at_ += got;
        return got;
    }

    uint64_t interrupt_at = 0;
    uint64_t fail_at = 0;

private:
    std::string text_;
    size_t chunk_;
    size_t at_ = 0;
    uint64_t calls_ = 0;
};

std::string text_of(Bytes b) { return std::string(b.begin(), b.end()); }

// Every line, and the previous line as the reader keeps it beside each.
std::vector<std::string> read_all(LineReader& reader, std::vector<std::string>* previous = nullptr) {
    std::vector<std::string> lines;
    while (true) {
        auto next = reader.next();
        EXPECT_TRUE(next.ok());
        if (!next.ok() || !*next) return lines;
        if (previous != nullptr) previous->push_back(text_of(reader.previous()));
        lines.push_back(text_of(**next));
    }
}

// Lines that straddle reads of every size, in a buffer smaller than some of them: the same
// lines, the previous line beside each, and every byte counted.
TEST(LineReader, ShortReadsAndATinyBufferGiveTheSameLines) {
    const std::string long_line(100, 'x');
    const std::string text = "a\n" + long_line + "\nbc\n\nd";
    for (size_t chunk : {1, 3, 7, 1000}) {
        SCOPED_TRACE(chunk);
        StringFile file(text, chunk);
        file.interrupt_at = 2;  // an interrupted read is tried again
        LineReader reader(file, '\n', 4);
        std::vector<std::string> previous;
        EXPECT_EQ(read_all(reader, &previous), (std::vector<std::string>{"a", long_line, "bc", "", "d"}));
        EXPECT_EQ(previous, (std::vector<std::string>{"", "a", long_line, "bc", ""}));
        EXPECT_EQ(reader.line_number(), 5u);
        EXPECT_EQ(reader.bytes_read(), text.size());
    }
}

TEST(LineReader, ZeroSeparatedLinesKeepTheirNewlines) {
    StringFile file(std::string("one\ntwo\0three\0", 14), 5);
    LineReader reader(file, 0, 4);
    EXPECT_EQ(read_all(reader), (std::vector<std::string>{"one\ntwo", "three"}));
}

TEST(LineReader, AReadErrorEndsTheReaderWithIt) {
    StringFile file("a\nb\nc\n", 2);
    file.fail_at = 2;
    LineReader reader(file, '\n', 4);
    auto first = reader.next();
    ASSERT_TRUE(first.ok() && *first);
    EXPECT_EQ(text_of(**first), "a");
    auto next = reader.next();
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(next.error().os_code(), EIO);
    Bytes line;
    EXPECT_FALSE(reader.next_line(&line));
    ASSERT_TRUE(reader.error().has_value());
}

}  // namespace
}  // namespace tessarune::format
