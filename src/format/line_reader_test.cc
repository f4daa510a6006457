#include "format/line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tessarune::format {
namespace {

// A temporary file holding `text`, removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/line_reader_test.XXXXXX";
        fd_ = ::mkstemp(name);
        path_ = name;
        EXPECT_EQ(::write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        ::lseek(fd_, 0, SEEK_SET);
    }
    ~TempFile() {
        ::close(fd_);
        std::remove(path_.c_str());
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    std::string path_;
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

TEST(LineReader, TinyBufferGrowsForLongLinesAndKeepsThePreviousLine) {
    const std::string long_line(100, 'x');
    TempFile file("a\n" + long_line + "\nbc\n\nd");
    LineReader reader(file.fd(), '\n', std::nullopt, 4);
    std::vector<std::string> previous;
    EXPECT_EQ(read_all(reader, &previous), (std::vector<std::string>{"a", long_line, "bc", "", "d"}));
    EXPECT_EQ(previous, (std::vector<std::string>{"", "a", long_line, "bc", ""}));
    EXPECT_EQ(reader.line_number(), 5u);
}

TEST(LineReader, RangesReadTheirBytesOnlyWhateverTheFilePosition) {
    const std::string text("one\0two\0three\0four", 18);
    TempFile file(text);
    ::lseek(file.fd(), 5, SEEK_SET);  // ranges use pread: the position neither matters nor moves
    LineReader middle(file.fd(), 0, LineReader::Range{4, 14}, 4);
    EXPECT_EQ(read_all(middle), (std::vector<std::string>{"two", "three"}));
    LineReader tail(file.fd(), 0, LineReader::Range{14, 18}, 4);
    EXPECT_EQ(read_all(tail), (std::vector<std::string>{"four"}));
    LineReader empty(file.fd(), 0, LineReader::Range{18, 18}, 4);
    EXPECT_EQ(read_all(empty), std::vector<std::string>{});
    EXPECT_EQ(::lseek(file.fd(), 0, SEEK_CUR), 5);
}

TEST(LineReader, AReadErrorIsReturned) {
    LineReader reader(-1, '\n');
    auto next = reader.next();
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(next.error().kind(), ErrorKind::Other);
}

}  // namespace
}  // namespace tessarune::format
