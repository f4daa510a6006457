#include "merge/memory_source.h"

#include <gtest/gtest.h>

#include "base/testing/random_records.h"
#include "run/testing/run_files.h"
#include "sorter/entry_sort.h"

namespace tessarune {
namespace {

using testing::as_bytes;
using testing::as_string;

TEST(MemorySource, ReadsTheSortedRecordsIntoTheCallersBuffers) {
    RecordBuffer buffer;
    buffer.append(as_bytes("b"), as_bytes("second"));
    buffer.append(as_bytes("a"), as_bytes(""));
    buffer.append(as_bytes(""), as_bytes("first"));
    sort_entries(buffer, nullptr);
    MemorySource source(std::move(buffer));

    ByteBuffer key, payload;
    key.append(as_bytes("leftover key"));
    payload.append(as_bytes("leftover payload"));
    std::vector<std::pair<std::string, std::string>> got;
    for (;;) {
        EngineResult<NextRecord> next = run_testing::next_copied(source, key, payload);
        ASSERT_TRUE(next.ok());
        if (next.value() == NextRecord::End) break;
        got.emplace_back(as_string(key.span()), as_string(payload.span()));
    }
    const std::vector<std::pair<std::string, std::string>> want = {
        {"", "first"}, {"a", ""}, {"b", "second"}};
    EXPECT_EQ(got, want);
    for (int i = 0; i < 2; ++i) {
        EngineResult<NextRecord> again = run_testing::next_copied(source, key, payload);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(again.value(), NextRecord::End);
    }
}

TEST(MemorySource, ViewsLastAsLongAsTheSource) {
    RecordBuffer buffer;
    buffer.append(as_bytes("b"), as_bytes("second"));
    buffer.append(as_bytes("a"), as_bytes("first"));
    sort_entries(buffer, nullptr);
    MemorySource source(std::move(buffer));
    RecordView first;
    RecordView second;
    ASSERT_EQ(source.next_record(first).value(), NextRecord::Record);
    ASSERT_EQ(source.next_record(second).value(), NextRecord::Record);
    RecordView end;
    ASSERT_EQ(source.next_record(end).value(), NextRecord::End);
    EXPECT_EQ(as_string(first.key) + as_string(first.payload), "afirst");
    EXPECT_EQ(as_string(second.key) + as_string(second.payload), "bsecond");
}

TEST(MemorySource, EmptyBufferEndsAtOnce) {
    MemorySource source{RecordBuffer()};
    ByteBuffer key, payload;
    EngineResult<NextRecord> next = run_testing::next_copied(source, key, payload);
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(next.value(), NextRecord::End);
}

}  // namespace
}  // namespace tessarune
