// Records whose payload is stored inside their key, as lines or whole keys: through a run
// file and back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/record_buffer.h"
#include "run/run_reader.h"
#include "run/run_writer.h"
#include "run/testing/run_files.h"

namespace tessarune {
namespace {

using run_testing::as_bytes;
using run_testing::ScratchDir;
using run_testing::TestRecord;

uint64_t stored_size(const TestRecord& r) { return run_testing::record_stream({r}).size(); }

// A whole buffer written at once must make the very file that writing its records one by
// one makes: records that end exactly at a block's end, that cross one, every kind mixed.
TEST(RunPayloadInKey, AWholeBufferIsWrittenAsItsRecordsOneByOne) {
    ScratchDir dir;
    RecordBuffer buffer;
    std::vector<TestRecord> records;
    uint64_t stream = 0;
    size_t block_ends = 0;
    for (size_t i = 0; i < 10000; ++i) {
        const std::string payload = "p" + std::to_string(i);
        auto make = [&](size_t n) {
            const std::string raw(n, static_cast<char>('a' + i % 26));
            if (i % 5 == 0) return TestRecord{"@" + raw + std::string(2, '\0'), payload};
            return run_testing::in_key_record(raw, i % 5 != 1);
        };
        TestRecord r = make(i % 2500 == 0 ? 150000 : 1 + (i * 37) % 120);
        // Near a block's end, a record of the kind at hand that ends it exactly.
        const uint64_t room = kRawBlockSize - stream % kRawBlockSize;
        for (size_t n = 1; room <= 200 && n <= 200; ++n) {
            if (stored_size(make(n)) == room) r = make(n);
        }
        stream += stored_size(r);
        block_ends += stream % kRawBlockSize == 0;
        if (r.in_key) {
            buffer.append_payload_in_key(as_bytes(r.key));
        } else {
            buffer.append(as_bytes(r.key), as_bytes(r.payload));
        }
        records.push_back(std::move(r));
    }
    ASSERT_GE(block_ends, 4u);
    auto whole = open_run_writer(run_testing::system_path_ops(), dir.file("whole"), nullptr);
    ASSERT_TRUE(whole.ok());
    ASSERT_TRUE((*whole)->write_buffer(buffer).ok());
    auto a = (*whole)->finish_run();
    const RunInfo b = run_testing::write_run(run_testing::system_path_ops(), dir.file("single"), records);
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(a->record_count, b.record_count);
    EXPECT_EQ(a->byte_count, stream);
    EXPECT_EQ(b.byte_count, stream);
    EXPECT_TRUE(run_testing::read_file(a->path) == run_testing::read_file(b.path));
}

TEST(RunPayloadInKey, KeysHoldThePayloadAcrossBlocksAndAmongOrdinaryRecords) {
    ScratchDir dir;
    std::vector<TestRecord> records;
    for (size_t n : {0, 1, 97, 140000, 5, 300000, 2}) {
        const std::string raw(n, static_cast<char>('a' + n % 26));
        records.push_back(run_testing::in_key_record(raw));
        records.push_back({records.back().key, "other" + std::to_string(n)});
        records.push_back(run_testing::in_key_record(raw, false));
    }
    const RunInfo info = run_testing::write_run(run_testing::system_path_ops(), dir.file("run"), records);
    EXPECT_EQ(info.byte_count, run_testing::record_stream(records).size());
    auto back = run_testing::read_run(run_testing::system_path_ops(), info);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_TRUE(*back == records);
}

}  // namespace
}  // namespace tessarune
