// The reader hands records out as views: of the current block when a record lies in it, of
// the reader's own buffers when it straddles blocks. These tests read through the views
// themselves, where the copying convenience would hide a view that went stale too early.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "run/run_reader.h"
#include "run/run_writer.h"
#include "run/testing/run_files.h"

namespace tessarune {
namespace {

using run_testing::ScratchDir;
using run_testing::TestRecord;

const std::shared_ptr<run_testing::PathFileOps>& sys() { return run_testing::system_path_ops(); }

std::string as_string(Bytes b) { return std::string(b.begin(), b.end()); }

// Whether each record lies whole in one raw block of the run's record stream.
std::vector<bool> lies_in_one_block(const std::vector<TestRecord>& records) {
    std::vector<bool> whole;
    uint64_t at = 0;
    for (const TestRecord& r : records) {
        const uint64_t size = run_testing::record_stream({r}).size();
        whole.push_back(at / kRawBlockSize == (at + size - 1) / kRawBlockSize);
        at += size;
    }
    return whole;
}

size_t changes_of_kind(const std::vector<bool>& whole) {
    size_t changes = 0;
    for (size_t i = 1; i < whole.size(); ++i) changes += whole[i] != whole[i - 1];
    return changes;
}

std::unique_ptr<RunReader> open(const RunInfo& info) {
    auto reader = open_run_reader(sys(), info);
    EXPECT_TRUE(reader) << reader.error().message();
    return reader ? std::move(reader).value() : nullptr;
}

// Each view checked before the next call, which is as long as it is promised to last.
void expect_reads_back(RunReader& reader, const std::vector<TestRecord>& records) {
    RecordView view;
    for (size_t i = 0; i < records.size(); ++i) {
        EngineResult<NextRecord> next = reader.next_record(view);
        ASSERT_TRUE(next) << "record " << i << ": " << next.error().message();
        ASSERT_EQ(*next, NextRecord::Record) << "record " << i;
        ASSERT_EQ(as_string(view.key), records[i].key) << "record " << i;
        ASSERT_EQ(as_string(view.payload), records[i].payload) << "record " << i;
        ASSERT_EQ(view.payload_in_key, records[i].in_key) << "record " << i;
    }
    for (int i = 0; i < 2; ++i) {
        EngineResult<NextRecord> next = reader.next_record(view);
        ASSERT_TRUE(next);
        EXPECT_EQ(*next, NextRecord::End);
    }
}

// Small records between ones as long as a block: every long one straddles a block boundary
// and the small ones mostly do not. The small ones' sizes move the boundary through every
// part of a record, length fields included.
std::vector<TestRecord> alternating_records(std::mt19937_64& rng, size_t pairs) {
    std::vector<TestRecord> records;
    for (size_t i = 0; i < pairs; ++i) {
        const size_t small = rng() % 300;
        records.push_back({std::string(1, 's').append(std::to_string(i)),
                           run_testing::random_bytes(rng, small)});
        const size_t key = rng() % 40;
        records.push_back({run_testing::random_bytes(rng, key),
                           std::string(kRawBlockSize - key - rng() % 16, static_cast<char>('a' + i % 26))});
    }
    return records;
}

TEST(RunReaderViews, RecordsAlternatingBetweenOneBlockAndTwoReadBack) {
    const uint64_t seed = run_testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    ScratchDir dir;
    const std::vector<TestRecord> records = alternating_records(rng, 40);
    const std::vector<bool> whole = lies_in_one_block(records);
    ASSERT_GE(changes_of_kind(whole), 60u) << "the records do not alternate as meant";

    const RunInfo info = run_testing::write_run(sys(), dir.file("run"), records);
    auto reader = open(info);
    ASSERT_TRUE(reader);
    expect_reads_back(*reader, records);
}

TEST(RunReaderViews, RandomSizesReadBackThroughViews) {
    const uint64_t seed = run_testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    ScratchDir dir;
    const std::vector<TestRecord> records = run_testing::random_records(rng, 3000, 200000);
    ASSERT_GE(changes_of_kind(lies_in_one_block(records)), 2u);
    const RunInfo info = run_testing::write_run(sys(), dir.file("run"), records);
    auto reader = open(info);
    ASSERT_TRUE(reader);
    expect_reads_back(*reader, records);
}

// Each kind of record, with heads and payload lengths of 1 to 3 bytes, starting at a block's
// start and at each of its last 9 bytes: the block's end falls in every field and between
// any two.
TEST(RunReaderViews, EveryKindOfRecordReadsBackWhereverABlockEndsInIt) {
    const std::vector<TestRecord> kinds = {
        run_testing::in_key_record(std::string(64, 'l')),           // head of 2 bytes
        run_testing::in_key_record(std::string(5000, 'L')),         // head of 3
        run_testing::in_key_record("k"),                            // head of 1
        run_testing::in_key_record(std::string(40, 'i'), false),    // head of 2
        {std::string(5000, 'K'), std::string(20000, 'P')},          // head of 3, payload length of 3
        {"k", "p"},
    };
    std::vector<TestRecord> records;
    uint64_t stream = 0;
    for (const TestRecord& kind : kinds) {
        for (uint64_t before_end = 0; before_end <= 9; ++before_end) {
            // A record of two fields, whose payload brings the next to the chosen offset.
            const uint64_t room = kRawBlockSize - stream % kRawBlockSize + kRawBlockSize - before_end;
            TestRecord filler{"f", std::string(room - 5, 'x')};  // 1 byte of head, 3 of length
            ASSERT_EQ(run_testing::record_stream({filler}).size(), room);
            const std::vector<TestRecord> three = {filler, kind, {"after", "p"}};
            records.insert(records.end(), three.begin(), three.end());
            stream += run_testing::record_stream(three).size();
        }
    }
    ScratchDir dir;
    auto reader = open(run_testing::write_run(sys(), dir.file("run"), records));
    ASSERT_TRUE(reader);
    expect_reads_back(*reader, records);
}

// A merge holds one record of every source while it reads the others: a view must not
// depend on anything but its own reader.
TEST(RunReaderViews, AViewOutlivesReadsFromAnotherReader) {
    const uint64_t seed = run_testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    ScratchDir dir;
    const std::vector<TestRecord> held = alternating_records(rng, 6);
    const std::vector<TestRecord> other = alternating_records(rng, 12);
    const std::vector<bool> held_whole = lies_in_one_block(held);
    auto held_reader = open(run_testing::write_run(sys(), dir.file("held"), held));
    auto other_reader = open(run_testing::write_run(sys(), dir.file("other"), other));
    ASSERT_TRUE(held_reader && other_reader);

    bool saw_whole = false;
    bool saw_straddling = false;
    RecordView kept;
    RecordView view;
    for (size_t i = 0; i < held.size(); ++i) {
        ASSERT_EQ(held_reader->next_record(kept).value(), NextRecord::Record);
        // Two records of the other run: at least one straddles, so the other reader loads
        // a block and assembles a record in the meantime.
        for (size_t j = 2 * i; j < 2 * i + 2 && j < other.size(); ++j) {
            ASSERT_EQ(other_reader->next_record(view).value(), NextRecord::Record);
            ASSERT_EQ(as_string(view.payload), other[j].payload);
        }
        EXPECT_EQ(as_string(kept.key), held[i].key) << "record " << i;
        EXPECT_EQ(as_string(kept.payload), held[i].payload) << "record " << i;
        (held_whole[i] ? saw_whole : saw_straddling) = true;
    }
    EXPECT_TRUE(saw_whole && saw_straddling);
}

// The copying form replaces the buffers' content whichever way the reader took the record.
TEST(RunReaderViews, CopiesMatchViewsForBothKindsOfRecord) {
    std::mt19937_64 rng(11);
    ScratchDir dir;
    const std::vector<TestRecord> records = alternating_records(rng, 5);
    const RunInfo info = run_testing::write_run(sys(), dir.file("run"), records);
    auto reader = open(info);
    ASSERT_TRUE(reader);
    ByteBuffer key;
    ByteBuffer payload;
    key.append(reinterpret_cast<const uint8_t*>("stale key bytes"), 15);
    for (const TestRecord& r : records) {
        ASSERT_EQ(run_testing::next_copied(*reader, key, payload).value(), NextRecord::Record);
        EXPECT_EQ(as_string(key.span()), r.key);
        EXPECT_EQ(as_string(payload.span()), r.payload);
    }
    EXPECT_EQ(run_testing::next_copied(*reader, key, payload).value(), NextRecord::End);
}

}  // namespace
}  // namespace tessarune
