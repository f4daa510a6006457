#include "job/output_target.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "run/testing/fault_file_ops.h"

namespace tessarune::job {
namespace {

namespace fs = std::filesystem;
using run_testing::FaultFileOps;

Bytes bytes_of(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

std::string contents(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct stat status_of(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

class OutputTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string path = (fs::temp_directory_path() / "output-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(path.data()), nullptr);
        dir_ = path;
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }

    fs::path make_file(const std::string& name, const std::string& text, mode_t mode = 0644) {
        const fs::path path = dir_ / name;
        std::ofstream(path) << text;
        ::chmod(path.c_str(), mode);
        return path;
    }

    size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }

    std::unique_ptr<OutputTarget> target(const fs::path& path, std::shared_ptr<FileOps> ops = FileOps::system()) {
        auto made = output_file(std::move(ops), path.string());
        EXPECT_TRUE(made) << made.error().message();
        return made ? std::move(made).value() : nullptr;
    }

    fs::path dir_;
};

TEST_F(OutputTargetTest, ReplacementKeepsTheModeAndIsAllOrNothing) {
    const fs::path out = make_file("out", "old\n", 0640);
    const ino_t old_inode = status_of(out).st_ino;

    auto discarded = target(out);
    ASSERT_TRUE(discarded->open());
    ASSERT_TRUE(discarded->write(bytes_of("half")));
    EXPECT_EQ(entries(), 2u);  // the temporary file beside it
    discarded->discard();
    EXPECT_EQ(contents(out), "old\n");
    EXPECT_EQ(entries(), 1u);

    auto committed = target(out);
    ASSERT_TRUE(committed->open());
    ASSERT_TRUE(committed->write(bytes_of("new\n")));
    EXPECT_EQ(contents(out), "old\n");  // untouched until commit
    ASSERT_TRUE(committed->commit());
    EXPECT_EQ(contents(out), "new\n");
    EXPECT_EQ(status_of(out).st_mode & 07777, 0640u);
    EXPECT_NE(status_of(out).st_ino, old_inode);
    EXPECT_EQ(entries(), 1u);

    // Dropped without commit: as discard.
    (void)target(out)->write(bytes_of("lost"));
    EXPECT_EQ(contents(out), "new\n");
    EXPECT_EQ(entries(), 1u);
}

TEST_F(OutputTargetTest, NewTargetGetsTheUsualModeAndALinkStaysALink) {
    const mode_t previous = ::umask(027);
    auto fresh = target(dir_ / "fresh");
    ::umask(previous);
    ASSERT_TRUE(fresh->open() && fresh->write(bytes_of("a\n")) && fresh->commit());
    EXPECT_EQ(status_of(dir_ / "fresh").st_mode & 07777, 0640u);

    const fs::path real = make_file("real", "old\n");
    fs::create_symlink("real", dir_ / "link");
    auto linked = target(dir_ / "link");
    ASSERT_TRUE(linked->open() && linked->write(bytes_of("b\n")) && linked->commit());
    EXPECT_TRUE(fs::is_symlink(dir_ / "link"));
    EXPECT_EQ(contents(real), "b\n");
}

// Where a new file could not be the same as the old one, the old one is truncated and
// written: its inode, links and owner stay, and it is touched only by open().
TEST_F(OutputTargetTest, FilesThatReplacingWouldChangeAreWrittenInPlace) {
    struct Case {
        const char* what;
        void (*prepare)(const fs::path& dir, const fs::path& file);
    };
    const Case cases[] = {
        {"a second hard link", [](const fs::path& dir, const fs::path& file) { fs::create_hard_link(file, dir / "twin"); }},
        {"another owner", [](const fs::path&, const fs::path& file) { ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0); }},
        {"a read-only directory", [](const fs::path& dir, const fs::path&) { ::chmod(dir.c_str(), 0555); }},
    };
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away and write in a read-only directory";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::chmod(dir_.c_str(), 0700);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        const fs::path out = make_file("out", "old contents\n", 0666);
        c.prepare(dir_, out);
        const struct stat before = status_of(out);
        const size_t count = entries();

        auto t = target(out);
        ASSERT_TRUE(t);
        EXPECT_EQ(contents(out), "old contents\n");
        ASSERT_TRUE(t->open());
        EXPECT_EQ(status_of(out).st_size, 0);
        ASSERT_TRUE(t->write(bytes_of("new\n")) && t->commit());
        const struct stat after = status_of(out);
        EXPECT_EQ(contents(out), "new\n");
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_nlink, before.st_nlink);
        EXPECT_EQ(entries(), count);
    }
}

int descriptors_open_on(const fs::path& path) {
    int count = 0;
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(e.path(), ec) == path) ++count;
    }
    return count;
}

TEST_F(OutputTargetTest, FifoIsOpenedOnlyByOpen) {
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto t = target(fifo);
    EXPECT_EQ(descriptors_open_on(fifo), 1);
    ASSERT_TRUE(t->open());
    EXPECT_EQ(descriptors_open_on(fifo), 2);
    ASSERT_TRUE(t->write(bytes_of("x\n")) && t->commit());
    char buf[8] = {};
    EXPECT_EQ(::read(reader, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "x\n");
    ::close(reader);
    EXPECT_EQ(entries(), 1u);
}

TEST_F(OutputTargetTest, WritesLoopOverShortAndInterruptedWritesAndFailInTheSystemsWords) {
    const fs::path out = make_file("out", "old\n");
    {
        auto ops = FaultFileOps::create();
        ops->limit_writes(3);
        ops->fail_writes(2, EINTR);
        auto t = target(out, ops);
        ASSERT_TRUE(t->open());
        ASSERT_TRUE(t->write(bytes_of("0123456789\n")));
        ASSERT_TRUE(t->commit());
        EXPECT_EQ(contents(out), "0123456789\n");
    }
    struct Case {
        const char* what;
        void (*fault)(FaultFileOps&);
        const char* message;
    };
    const Case cases[] = {
        {"no space", [](FaultFileOps& f) { f.fail_writes(2, ENOSPC); }, "write failed: OUT: No space left on device"},
        {"write of nothing", [](FaultFileOps& f) { f.zero_write(2); }, "write failed: OUT: nothing was written"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto ops = FaultFileOps::create();
        ops->limit_writes(4);
        c.fault(*ops);
        auto t = target(out, ops);
        ASSERT_TRUE(t->open());
        const EngineStatus written = t->write(bytes_of("0123456789\n"));
        ASSERT_FALSE(written);
        std::string expected = c.message;
        expected.replace(expected.find("OUT"), 3, out.string());
        EXPECT_EQ(written.error().message(), expected);
        t->discard();
        EXPECT_EQ(contents(out), "0123456789\n");
        EXPECT_EQ(entries(), 1u);
    }
}

// The messages of targets refused before any input is read, against `sort`'s own.
TEST_F(OutputTargetTest, RefusedTargetsAreReportedAsSortReportsThem) {
    for (const fs::path& name : {dir_, dir_ / "missing" / "out", dir_ / "file" / "out"}) {
        SCOPED_TRACE(name.string());
        make_file("file", "");
        const std::string command = "LC_ALL=C sort -o '" + name.string() + "' /dev/null 2>&1";
        std::string expected;
        if (FILE* p = ::popen(command.c_str(), "r")) {
            std::array<char, 512> buf{};
            while (fgets(buf.data(), buf.size(), p)) expected += buf.data();
            ::pclose(p);
        }
        ASSERT_EQ(expected.rfind("sort: ", 0), 0u) << expected;
        expected = expected.substr(6, expected.size() - 7);
        auto made = output_file(FileOps::system(), name.string());
        ASSERT_FALSE(made);
        EXPECT_EQ(made.error().message(), expected);
    }
}

}  // namespace
}  // namespace tessarune::job
