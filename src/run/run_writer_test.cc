#include "run/run_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "base/sort_pool.h"
#include "run/run_reader.h"
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
using run_testing::write_run;

const std::shared_ptr<run_testing::PathFileOps>& sys() { return run_testing::system_path_ops(); }

// The format's promises about the stored blocks, checked on the file itself.
void expect_well_formed(const std::vector<uint8_t>& file, uint64_t byte_count) {
    const auto headers = block_headers(file);
    uint64_t raw_total = 0;
    for (size_t i = 0; i < headers.size(); ++i) {
        const auto& h = headers[i];
        SCOPED_TRACE("block " + std::to_string(i));
        EXPECT_GE(h.compressed_length, 1u);
        EXPECT_LE(h.compressed_length, block_bound(h.raw_length));
        EXPECT_GE(h.raw_length, 1u);
        if (i + 1 < headers.size()) {
            EXPECT_EQ(h.raw_length, kRawBlockSize);
        } else {
            EXPECT_LE(h.raw_length, kRawBlockSize);
            EXPECT_EQ(h.offset + kBlockHeaderSize + h.compressed_length, file.size()) << "nothing follows";
        }
        raw_total += h.raw_length;
    }
    EXPECT_EQ(raw_total, byte_count);
}

class RunWriterGroupTest : public ::testing::TestWithParam<size_t> {};

TEST_P(RunWriterGroupTest, RoundTripsWhateverTheGroupSize) {
    const size_t workers = GetParam();
    std::shared_ptr<SortPool> pool;
    if (workers != 0) pool = std::move(SortPool::create(workers)).value();
    const uint64_t seed = run_testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // Enough for several whole groups of 16 blocks and a partial one.
    std::vector<TestRecord> records = run_testing::random_records(rng, 500, 200000);

    ScratchDir dir;
    auto writer = open_run_writer(sys(), dir.file("run-000000"), pool);
    ASSERT_TRUE(writer);
    const size_t expected_group = workers == 0 ? 1 : std::min<size_t>(workers, 16);
    EXPECT_EQ((*writer)->group_size(), expected_group);
    writer.value().reset();

    const RunInfo info = write_run(sys(), dir.file("run-000001"), records, pool);
    EXPECT_EQ(info.record_count, records.size());
    EXPECT_EQ(info.byte_count, run_testing::record_stream(records).size());
    const auto file = read_file(info.path);
    ASSERT_GT(block_headers(file).size(), 33u);
    expect_well_formed(file, info.byte_count);
    auto back = read_run(sys(), info);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_TRUE(*back == records);
}

INSTANTIATE_TEST_SUITE_P(Pools, RunWriterGroupTest, ::testing::Values(0, 1, 4, 8, 9));

// Onto a slow disk, incompressible bytes are stored at the fast setting, and text that
// follows is compressed thoroughly again; both kinds read back.
TEST_P(RunWriterGroupTest, CompressibleTextAfterRandomBytesIsCompressedAgainOntoASlowDisk) {
    const size_t workers = GetParam();
    std::shared_ptr<SortPool> pool;
    if (workers != 0) pool = std::move(SortPool::create(workers)).value();
    std::mt19937_64 rng(7);
    std::vector<TestRecord> records;
    size_t random_bytes = 0;
    while (random_bytes < 40 * kRawBlockSize) {
        std::string bytes(4000, '\0');
        for (char& c : bytes) c = static_cast<char>(rng());
        random_bytes += bytes.size() + 8;
        records.push_back({std::move(bytes), ""});
    }
    const char* paths[] = {"/api/v1/users/", "/static/img/", "/orders/", "/search?q="};
    for (size_t text_bytes = 0; text_bytes < 200 * kRawBlockSize;) {
        char line[128];
        const int n = std::snprintf(line, sizeof line, "2026-11-%02uT%02u:%02u:%02u.%03uZ 10.%u.%u.%u GET %s%u 200 %u",
                                    unsigned(rng() % 30 + 1), unsigned(rng() % 24), unsigned(rng() % 60),
                                    unsigned(rng() % 60), unsigned(rng() % 1000), unsigned(rng() % 256),
                                    unsigned(rng() % 256), unsigned(rng() % 256), paths[rng() % 4],
                                    unsigned(rng() % 100000), unsigned(rng() % 100000));
        text_bytes += static_cast<size_t>(n) + 8;
        records.push_back({std::string(line, static_cast<size_t>(n)), ""});
    }
    ScratchDir dir;
    // 10 ms for every 64 KiB: 150 ns a byte, 1000 times what compressing text costs, so that the
    // choice holds even when a sanitizer slows the writer and other work shares the cores
    // (the writer measures compression in elapsed time, waits for a core included).
    auto slow = FaultFileOps::create();
    slow->limit_writes(65536);
    slow->on_write([] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
    const RunInfo info = write_run(slow, dir.file("run-000000"), records, pool);
    const auto file = read_file(info.path);
    const auto headers = block_headers(file);
    ASSERT_GT(headers.size(), 200u);
    uint64_t raw = 0, compressed = 0;
    for (size_t i = headers.size() - 150; i + 1 < headers.size(); ++i) {
        raw += headers[i].raw_length;
        compressed += headers[i].compressed_length;
    }
    EXPECT_LT(compressed * 3, raw * 2) << "the text is no longer compressed thoroughly";
    auto back = read_run(sys(), info);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_TRUE(*back == records);
}

TEST(RunWriterTest, BlockBoundaries) {
    ScratchDir dir;
    struct Case {
        size_t stream_length;
        std::vector<uint32_t> raw_lengths;
    };
    for (const Case& c : {Case{kRawBlockSize, {kRawBlockSize}},
                          Case{kRawBlockSize + 1, {kRawBlockSize, 1}},
                          Case{2 * kRawBlockSize + 5, {kRawBlockSize, kRawBlockSize, 5}}}) {
        SCOPED_TRACE("stream of " + std::to_string(c.stream_length));
        // One record: a head of 1 byte, a payload length of 3, a 10-byte key and the rest
        // payload.
        std::vector<TestRecord> records{{"0123456789", std::string(c.stream_length - 14, 'p')}};
        const RunInfo info = write_run(sys(), dir.file(std::to_string(c.stream_length)), records);
        EXPECT_EQ(info.byte_count, c.stream_length);
        std::vector<uint32_t> raw_lengths;
        for (const auto& h : block_headers(read_file(info.path))) raw_lengths.push_back(h.raw_length);
        EXPECT_EQ(raw_lengths, c.raw_lengths);
        auto back = read_run(sys(), info);
        ASSERT_TRUE(back) << back.error().message();
        EXPECT_TRUE(*back == records);
    }
}

TEST(RunWriterTest, EmptyKeyAndPayloadMakeATwoByteStream) {
    ScratchDir dir;
    const RunInfo info = write_run(sys(), dir.file("run"), {{"", ""}});
    EXPECT_EQ(info.record_count, 1u);
    EXPECT_EQ(info.byte_count, 2u);
    const auto headers = block_headers(read_file(info.path));
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers[0].raw_length, 2u);
    auto back = read_run(sys(), info);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->size(), 1u);
    EXPECT_TRUE((*back)[0] == (TestRecord{"", ""}));
}

TEST(RunWriterTest, FieldsSplitAcrossBlocksComeBackIntact) {
    ScratchDir dir;
    std::mt19937_64 rng(7);
    std::vector<TestRecord> records;
    // The first record ends 2 bytes before the block's end, so the second record's lengths
    // end the first block and its key starts the next.
    records.push_back({"k", std::string(kRawBlockSize - 2 - 5, 'x')});
    records.push_back({"straddling", "y"});
    // A payload of several blocks, and an incompressible one (stored with C > R).
    records.push_back({"big", std::string(3 * kRawBlockSize + 17, 'z')});
    records.push_back({"noise", run_testing::random_bytes(rng, 2 * kRawBlockSize + 3)});
    const RunInfo info = write_run(sys(), dir.file("run"), records);
    const auto file = read_file(info.path);
    expect_well_formed(file, info.byte_count);
    bool stored_larger = false;
    for (const auto& h : block_headers(file)) stored_larger |= h.compressed_length > h.raw_length;
    EXPECT_TRUE(stored_larger) << "random bytes should not compress";
    auto back = read_run(sys(), info);
    ASSERT_TRUE(back) << back.error().message();
    EXPECT_TRUE(*back == records);
}

TEST(RunWriterTest, NoRecordsMakeAnEmptyFile) {
    ScratchDir dir;
    const RunInfo info = write_run(sys(), dir.file("run"), {});
    EXPECT_EQ(info.record_count, 0u);
    EXPECT_EQ(info.byte_count, 0u);
    EXPECT_TRUE(read_file(info.path).empty());
    EXPECT_TRUE(run_testing::path_exists(info.path));
}

TEST(RunWriterTest, RefusesAnExistingPath) {
    ScratchDir dir;
    run_testing::write_file(dir.file("run"), {1, 2, 3});
    auto writer = open_run_writer(sys(), dir.file("run"), nullptr);
    ASSERT_FALSE(writer);
    EXPECT_EQ(writer.error().kind(), ErrorKind::AlreadyExists);
    EXPECT_EQ(writer.error().message(), dir.file("run") + ": File exists (os error 17)");
    EXPECT_EQ(read_file(dir.file("run")), (std::vector<uint8_t>{1, 2, 3})) << "never truncated";
}

// Enough data for many write calls once each call is limited to 64 KiB.
std::vector<TestRecord> bulky_records() {
    std::mt19937_64 rng(11);
    std::vector<TestRecord> records;
    for (int i = 0; i < 40; ++i) records.push_back({"key", run_testing::random_bytes(rng, 50000)});
    return records;
}

EngineStatus write_all(const std::shared_ptr<run_testing::PathFileOps>& ops, const std::string& path,
                   const std::vector<TestRecord>& records, std::shared_ptr<SortPool> pool = nullptr) {
    auto writer = open_run_writer(ops, path, std::move(pool));
    if (!writer) return Unexpected(writer.error());
    for (const TestRecord& r : records) {
        EngineStatus s = (*writer)->write_record(
            Bytes(reinterpret_cast<const uint8_t*>(r.key.data()), r.key.size()),
            Bytes(reinterpret_cast<const uint8_t*>(r.payload.data()), r.payload.size()));
        if (!s) return s;
    }
    EngineResult<RunInfo> info = (*writer)->finish_run();
    if (!info) return Unexpected(info.error());
    return {};
}

TEST(RunWriterTest, AFailedWriteNamesTheRunAndTheSystemError) {
    const auto records = bulky_records();
    // With a pool, the failing write follows a group compressed on its workers.
    // With a pool, a worker meets the error and a later call of the writer reports it.
    std::shared_ptr<SortPool> pool = std::move(SortPool::create(2)).value();
    for (const bool pooled : {false, true})
    for (uint64_t nth : {1, 2, 7, 30}) {
        SCOPED_TRACE("failing write call " + std::to_string(nth) + (pooled ? ", pool" : ""));
        ScratchDir dir;
        auto ops = FaultFileOps::create();
        ops->limit_writes(65536);
        ops->fail_writes(nth, ENOSPC);
        EngineStatus s = write_all(ops, dir.file("run-000003"), records, pooled ? pool : nullptr);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().kind(), ErrorKind::StorageFull);
        EXPECT_EQ(s.error().message(),
                  dir.file("run-000003") + ": No space left on device (os error 28)");
        EXPECT_EQ(s.error().os_code(), ENOSPC);
        EXPECT_EQ(s.error().path(), dir.file("run-000003"));
    }
}

TEST(RunWriterTest, AnErrorReportedOnlyByTheCloseIsTheRunsError) {
    ScratchDir dir;
    auto ops = FaultFileOps::create();
    auto writer = open_run_writer(ops, dir.file("run-000001"), nullptr);
    ASSERT_TRUE(writer);
    ASSERT_TRUE((*writer)->write_record(Bytes(), Bytes()));
    // Operations: the create, the one write of the finish, then its close.
    ops->fault_operation(ops->operations() + 2, FaultFileOps::Fault::Errno, EIO);
    EngineResult<RunInfo> info = (*writer)->finish_run();
    ASSERT_TRUE(ops->fault_fired());
    ASSERT_FALSE(info);
    EXPECT_EQ(info.error().message(), dir.file("run-000001") + ": Input/output error (os error 5)");
    EXPECT_EQ(info.error().os_code(), EIO);
}

// With a pool, a worker carries them on.
TEST(RunWriterTest, InterruptedAndShortWritesAreCarriedOn) {
    const auto records = bulky_records();
    std::shared_ptr<SortPool> pool = std::move(SortPool::create(2)).value();
    for (const bool pooled : {false, true}) {
        ScratchDir dir;
        auto ops = FaultFileOps::create();
        ops->limit_writes(1000);
        ops->fail_writes(3, EINTR, 5);
        ASSERT_TRUE(write_all(ops, dir.file("run"), records, pooled ? pool : nullptr));
        const RunInfo info{dir.file("run"), records.size(), run_testing::record_stream(records).size()};
        auto back = read_run(sys(), info);
        ASSERT_TRUE(back) << back.error().message();
        EXPECT_TRUE(*back == records) << (pooled ? "pool" : "no pool");
    }
}

TEST(RunWriterTest, AWriteOfNothingFails) {
    ScratchDir dir;
    auto ops = FaultFileOps::create();
    ops->zero_write(1);
    EngineStatus s = write_all(ops, dir.file("run"), {{"a", "b"}});
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ErrorKind::WriteZero);
    EXPECT_EQ(s.error().message(), dir.file("run") + ": failed to write the buffered data");
}

TEST(RunWriterTest, DroppingAnUnfinishedWriterKeepsTheStoredBlocks) {
    ScratchDir dir;
    {
        auto writer = open_run_writer(sys(), dir.file("run"), nullptr);
        ASSERT_TRUE(writer);
        const std::string payload(kRawBlockSize, 'q');
        const Bytes bytes(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
        for (int i = 0; i < 3; ++i) ASSERT_TRUE((*writer)->write_record(bytes.first(1), bytes));
        EXPECT_TRUE(read_file(dir.file("run")).empty()) << "blocks wait in the write buffer";
    }
    // Three records of 131077 bytes fill three blocks; the fourth, partial one was never
    // compressed.
    const auto headers = block_headers(read_file(dir.file("run")));
    ASSERT_EQ(headers.size(), 3u);
    for (const auto& h : headers) EXPECT_EQ(h.raw_length, kRawBlockSize);
}

}  // namespace
}  // namespace tessarune
