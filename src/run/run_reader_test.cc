#include "run/run_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/little_endian.h"
#include "run/run_writer.h"
#include "run/spill_dir.h"
#include "run/testing/fault_file_ops.h"
#include "run/testing/run_files.h"

namespace tessarune {
namespace {

using run_testing::block_headers;
using run_testing::FaultFileOps;
using run_testing::read_file;
using run_testing::read_run;
using run_testing::ScratchDir;
using run_testing::TestRecord;
using run_testing::write_file;

const std::shared_ptr<run_testing::PathFileOps>& sys() { return run_testing::system_path_ops(); }

// A run of several blocks, partly compressible, with fields crossing block boundaries.
class RunReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937_64 rng(3);
        for (int i = 0; i < 300; ++i) {
            const size_t n = i % 50 == 0 ? 90000 : rng() % 1500;
            records_.push_back({"key-" + std::to_string(i),
                                i % 3 ? std::string(n, 'a') : run_testing::random_bytes(rng, n)});
        }
        info_ = run_testing::write_run(sys(), dir_.file("run-000000"), records_);
        file_ = read_file(info_.path);
        ASSERT_GE(block_headers(file_).size(), 4u);
    }

    // The error from reading the run whose file holds `bytes`.
    EngineError read_error(const std::vector<uint8_t>& bytes, uint64_t byte_count = 0) {
        write_file(info_.path, bytes);
        RunInfo info = info_;
        if (byte_count != 0) info.byte_count = byte_count;
        auto back = read_run(sys(), info);
        if (back) {
            ADD_FAILURE() << "read back " << back->size() << " records from damaged run";
            return EngineError::of_kind(ErrorKind::Other);
        }
        return std::move(back).error();
    }

    void expect_corrupt(const std::vector<uint8_t>& bytes, const std::string& check,
                        uint64_t byte_count = 0) {
        const EngineError e = read_error(bytes, byte_count);
        EXPECT_EQ(e.kind(), ErrorKind::InvalidData);
        EXPECT_EQ(e.message(), info_.path + " is corrupt: " + check);
        EXPECT_EQ(e.path(), info_.path);
    }

    ScratchDir dir_;
    std::vector<TestRecord> records_;
    RunInfo info_;
    std::vector<uint8_t> file_;
};

TEST_F(RunReaderTest, ReadsAboutOneCallPerBlock) {
    auto ops = FaultFileOps::create();
    auto back = read_run(ops, info_);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_TRUE(*back == records_);
    // One extra call: the first block's header has no read-ahead before it.
    EXPECT_EQ(ops->read_calls(), block_headers(file_).size() + 1);
}

TEST_F(RunReaderTest, ShortAndInterruptedReadsAreCarriedOn) {
    for (size_t limit : {1, 3, 7, 8, 9, 4096}) {
        SCOPED_TRACE("reads of at most " + std::to_string(limit));
        auto ops = FaultFileOps::create();
        ops->limit_reads(limit);
        ops->fail_reads(2, EINTR, 3);
        auto back = read_run(ops, info_);
        ASSERT_TRUE(back) << back.error().message();
        EXPECT_TRUE(*back == records_);
    }
}

TEST_F(RunReaderTest, ExtraBytesAfterTheLastBlockAreIgnored) {
    auto longer = file_;
    longer.insert(longer.end(), {0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0, 1});
    write_file(info_.path, longer);
    auto back = read_run(sys(), info_);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_TRUE(*back == records_);
}

TEST_F(RunReaderTest, ATruncatedFileEndsBeforeItsLastRecord) {
    std::vector<size_t> cuts{0, 1, 4, 7, 8, 9, 15, 16, 17, 100, file_.size() - 1};
    for (const auto& h : block_headers(file_)) {
        for (size_t delta : {0, 3, 8, 12, 16, 17}) cuts.push_back(h.offset + delta);  // header, block start
        cuts.push_back(h.offset + kBlockHeaderSize + h.compressed_length / 2);         // mid-block
    }
    for (size_t cut : cuts) {
        if (cut >= file_.size()) continue;
        SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(file_.size()));
        const EngineError e = read_error(std::vector<uint8_t>(file_.begin(), file_.begin() + cut));
        EXPECT_EQ(e.kind(), ErrorKind::UnexpectedEof);
        EXPECT_EQ(e.message(), info_.path + " ended before its last record");
    }
}

TEST_F(RunReaderTest, ImpossibleHeadersAreRejected) {
    const auto headers = block_headers(file_);
    // The first header is read on its own; later ones arrive as read-ahead.
    for (size_t block : {size_t{0}, size_t{2}}) {
        const size_t at = headers[block].offset;
        const uint32_t r = headers[block].raw_length;
        struct Damage {
            uint32_t c;
            uint32_t r;
        };
        for (const Damage d : {Damage{headers[block].compressed_length, 0},
                               Damage{headers[block].compressed_length, kRawBlockSize + 1},
                               Damage{0, r},
                               Damage{static_cast<uint32_t>(block_bound(r)) + 1, r},
                               Damage{0xffffffff, 0xffffffff}}) {
            SCOPED_TRACE("block " + std::to_string(block) + " C=" + std::to_string(d.c) +
                         " R=" + std::to_string(d.r));
            auto bad = file_;
            store_le32(bad.data() + at, d.c);
            store_le32(bad.data() + at + 4, d.r);
            expect_corrupt(bad, "a block has an impossible length");
        }
    }
}

TEST_F(RunReaderTest, ABlockMustDecompressToItsRawLength) {
    const auto headers = block_headers(file_);
    const auto& last = headers.back();
    ASSERT_LT(last.raw_length, kRawBlockSize);
    for (int64_t change : {-1, 1}) {
        SCOPED_TRACE("R changed by " + std::to_string(change));
        auto bad = file_;
        store_le32(bad.data() + last.offset + 4, static_cast<uint32_t>(last.raw_length + change));
        expect_corrupt(bad, "a block does not decompress to its length");
    }
    // Bytes that are no LZ4 block at all: a token promising more literals than there are.
    auto bad = file_;
    const size_t data_start = headers[1].offset + kBlockHeaderSize;
    std::fill(bad.begin() + static_cast<ptrdiff_t>(data_start),
              bad.begin() + static_cast<ptrdiff_t>(data_start + headers[1].compressed_length),
              0xff);
    expect_corrupt(bad, "a block does not decompress to its length");
}

TEST_F(RunReaderTest, ABlockWhoseBytesChangedFailsItsChecksum) {
    // Each damage still decompresses to R bytes, only other ones: the hash alone tells.
    const auto headers = block_headers(file_);
    const auto& h = headers[1];
    auto flipped_hash = file_;
    flipped_hash[h.offset + 8] ^= 1;
    expect_corrupt(flipped_hash, "a block's checksum does not match");
    // The block's last byte is always a literal in LZ4, so changing it keeps the block valid.
    auto flipped_literal = file_;
    flipped_literal[h.offset + kBlockHeaderSize + h.compressed_length - 1] ^= 0x40;
    expect_corrupt(flipped_literal, "a block's checksum does not match");
}

TEST_F(RunReaderTest, DamagedLengthsAndKindsAreReportedNotMisread) {
    // The stream holds exactly what the run's byte count says: one byte less and the last
    // payload reaches past it.
    expect_corrupt(file_, "a record is longer than the rest of the run", info_.byte_count - 1);

    // One-record streams with intact blocks; those of 4 bytes or more are looked at by the
    // reader's quick way first, whose refusal must leave them to the checks.
    const std::string longer = "a record is longer than the rest of the run";
    const std::string malformed = "a record has a malformed length";
    const struct {
        std::vector<uint8_t> stream;
        std::string check;
    } cases[] = {
        {{0xfe, 0xff, 0xff, 0xff, 0x3f, 0x00, 'k', 'p'}, longer},     // a key of 2^32 - 1 bytes
        {{0x06, 0x81}, longer},                                      // P runs past the stream
        {{0x82}, longer},                                            // so does the head
        {{0x10, 'a', 'b', 'c'}, longer},                             // a line of 4 bytes in 3
        {{0x80, 0x80, 0x80, 0x80, 0x80, 0x00, 'k'}, malformed},      // a head of 6 bytes
        {{0x80, 0x80, 0x80, 0x80, 0x40, 'k', 'p', 'q'}, malformed},  // N = 2^32
        {{0x06, 0x80, 0x80, 0x80, 0x80, 0x10, 'k', 'p'}, malformed},  // P = 2^32
        {{0xf8, 0xff, 0xff, 0xff, 0x3f, 'x', 'y', 'z'}, malformed},  // a line's key of 2^32 + 1
        {{0x03, 'k', 'p', 'q'}, "a record has an unknown kind"},
        {{0x09, 'a', 'b', 'c'}, "a record's key cannot hold its payload"},  // K = 2
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.stream));
        run_testing::store_stream(info_.path, c.stream);
        auto back = read_run(sys(), RunInfo{info_.path, 1, c.stream.size()});
        ASSERT_FALSE(back);
        EXPECT_EQ(back.error().message(), info_.path + " is corrupt: " + c.check);
    }
}

TEST_F(RunReaderTest, SystemErrorsNameTheRun) {
    auto ops = FaultFileOps::create();
    ops->fail_reads(2, EIO);
    auto back = read_run(ops, info_);
    ASSERT_FALSE(back);
    EXPECT_EQ(back.error().kind(), ErrorKind::Other);
    EXPECT_EQ(back.error().message(), info_.path + ": Input/output error (os error 5)");

    ops->vanish(info_.path);
    auto reader = open_run_reader(ops, info_);
    ASSERT_FALSE(reader);
    EXPECT_EQ(reader.error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(reader.error().message(), info_.path + ": No such file or directory (os error 2)");
}

// Whether the file system under `dir` can punch holes into a file.
bool punches_holes(const std::string& dir) {
    const std::string path = dir + "/probe";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return false;
    const std::vector<uint8_t> page(4096, 1);
    const bool ok = ::write(fd, page.data(), page.size()) == 4096 &&
                    ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096) == 0;
    ::close(fd);
    ::unlink(path.c_str());
    return ok;
}

// A run in a spill directory gives back the space of what has been read as it goes, and
// still reads back whole.
TEST(RunReaderSpillDirTest, WhatHasBeenReadIsDroppedFromTheFile) {
    ScratchDir base;
    auto dir = create_spill_dir(FileOps::system(), base.path());
    ASSERT_TRUE(dir) << dir.error().message();
    if (!punches_holes((*dir)->path())) GTEST_SKIP() << "no holes in this file system";
    std::mt19937_64 rng(9);
    std::vector<TestRecord> records;
    for (int i = 0; i < 160; ++i) records.push_back({std::to_string(i), run_testing::random_bytes(rng, 50000)});
    const std::string path = (*dir)->path() + "/" + run_file_name(0);
    auto writer = open_run_writer(**dir, path, nullptr);
    ASSERT_TRUE(writer);
    for (const TestRecord& r : records) {
        ASSERT_TRUE((*writer)->write_record(run_testing::as_bytes(r.key), run_testing::as_bytes(r.payload)));
    }
    EngineResult<RunInfo> info = (*writer)->finish_run();
    ASSERT_TRUE(info);

    auto reader = open_run_reader(**dir, *info);
    ASSERT_TRUE(reader);
    ByteBuffer key, payload;
    size_t i = 0;
    for (;; ++i) {
        EngineResult<NextRecord> next = run_testing::next_copied(**reader, key, payload);
        ASSERT_TRUE(next) << next.error().message();
        if (*next == NextRecord::End) break;
        ASSERT_LT(i, records.size());
        ASSERT_TRUE(std::string(key.begin(), key.end()) == records[i].key &&
                    std::string(payload.begin(), payload.end()) == records[i].payload) << i;
    }
    EXPECT_EQ(i, records.size());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_GT(st.st_size, 7 << 20);
    EXPECT_LT(uint64_t(st.st_blocks) * 512, uint64_t(st.st_size) / 4) << "what was read is still there";
}

TEST(RunReaderEmptyTest, ARunWithoutRecordsReadsNothing) {
    ScratchDir dir;
    auto ops = FaultFileOps::create();
    // The file need not exist: nothing is opened or read for a run without records.
    auto reader = open_run_reader(ops, RunInfo{dir.file("missing"), 0, 0});
    ASSERT_TRUE(reader);
    ByteBuffer key;
    ByteBuffer payload;
    for (int i = 0; i < 2; ++i) {
        auto next = run_testing::next_copied(**reader, key, payload);
        ASSERT_TRUE(next);
        EXPECT_EQ(*next, NextRecord::End);
    }
    EXPECT_EQ(ops->read_calls(), 0u);
}

TEST(RunReaderEmptyTest, BuffersAreReplacedNotAppended) {
    ScratchDir dir;
    const std::vector<TestRecord> records{{"long key", "long payload"}, {"k", ""}, {"", "p"}};
    const RunInfo info = run_testing::write_run(sys(), dir.file("run"), records);
    auto reader = open_run_reader(sys(), info);
    ASSERT_TRUE(reader);
    ByteBuffer key;
    ByteBuffer payload;
    key.append(reinterpret_cast<const uint8_t*>("stale"), 5);
    for (const TestRecord& r : records) {
        ASSERT_EQ(run_testing::next_copied(**reader, key, payload).value(), NextRecord::Record);
        EXPECT_EQ(std::string(key.begin(), key.end()), r.key);
        EXPECT_EQ(std::string(payload.begin(), payload.end()), r.payload);
    }
    EXPECT_EQ(run_testing::next_copied(**reader, key, payload).value(), NextRecord::End);
}

TEST(RunReaderEmptyTest, EveryShortFieldLengthComesBackExactly) {
    ScratchDir dir;
    std::vector<TestRecord> records;
    for (size_t n = 0; n <= 300; ++n) {
        std::string bytes(n, '\0');
        for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('A' + (i * 7 + n) % 26);
        records.push_back({bytes, bytes + "!"});
    }
    const RunInfo info = run_testing::write_run(sys(), dir.file("run"), records);
    auto back = read_run(sys(), info);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_TRUE(*back == records);
}

}  // namespace
}  // namespace tessarune
