#include "sorter/merge_thread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/testing/random_records.h"
#include "merge/memory_source.h"
#include "merge/testing/sorted_buffer.h"

namespace tessarune {
namespace {

using testing::as_bytes;

// A source that serves `good` records and then fails.
class FailingSource final : public MergeSource {
public:
    explicit FailingSource(int good) : good_(good) {}
    EngineResult<NextRecord> next_record(RecordView& out) override {
        if (good_-- == 0) return Unexpected(EngineError(ErrorKind::InvalidData, "/spill/run-000000 is corrupt"));
        out.key = as_bytes(key_);
        out.payload = as_bytes(key_);
        return NextRecord::Record;
    }

private:
    int good_;
    std::string key_ = "k";
};

std::unique_ptr<FinalMerge> merger_over(std::unique_ptr<MergeSource> source) {
    std::vector<std::unique_ptr<MergeSource>> sources;
    sources.push_back(std::move(source));
    auto merger = new_merger(std::move(sources));
    EXPECT_TRUE(merger);
    return std::make_unique<FinalMerge>(std::move(merger).value(), nullptr);
}

// Runs the merging thread and collects what it sends, as write_to's caller would.
std::vector<ChunkMessage> run(std::unique_ptr<FinalMerge> merger,
                              std::optional<uint8_t> terminator = std::nullopt, bool unique = false) {
    auto channels = std::make_shared<ChunkChannels>();
    std::thread thread(run_merge_thread, std::move(merger), channels, terminator, unique);
    std::vector<ChunkMessage> got;
    ChunkMessage message;
    while (channels->chunks.receive(message) == Received::Value) got.push_back(std::move(message));
    thread.join();
    EXPECT_EQ(channels->chunks.internal_error(), nullptr);
    return got;
}

TEST(MergeThread, ChunksHoldEveryPayloadInOrderAndCloseAtTheChunkSize) {
    // Payloads of 100 kB, keys in reverse of adding order: about 30 MB in 29 full chunks;
    // with a terminator, each payload is followed by it.
    const std::optional<uint8_t> terminators[] = {std::nullopt, uint8_t{'\n'}};
    for (const std::optional<uint8_t> terminator : terminators) {
        const size_t record_bytes = 100000 + (terminator ? 1 : 0);
        RecordBuffer held;
        std::string expected;
        const int count = 300;
        for (int i = 0; i < count; ++i) {
            char key[16];
            std::snprintf(key, sizeof key, "%06d", count - i);
            const std::string payload(100000, static_cast<char>('a' + i % 26));
            held.append(as_bytes(std::string(key)), as_bytes(payload));
        }
        for (int i = count - 1; i >= 0; --i) {
            expected.append(100000, static_cast<char>('a' + i % 26));
            if (terminator) expected.push_back(static_cast<char>(*terminator));
        }
        testing::sort_held_records(held);
        std::vector<ChunkMessage> got =
            run(merger_over(std::make_unique<MemorySource>(std::move(held))), terminator);
        std::string joined;
        for (size_t i = 0; i < got.size(); ++i) {
            const ByteBuffer& chunk = std::get<ByteBuffer>(got[i]);
            if (i + 1 < got.size()) {
                EXPECT_GE(chunk.size(), kChunkBytes);
                EXPECT_LT(chunk.size() - record_bytes, kChunkBytes) << "chunk " << i << " ran past its size";
            }
            joined.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
        }
        EXPECT_TRUE(joined == expected) << "payloads lost, doubled or out of order";
    }
}

TEST(MergeThread, UniqueSendsTheFirstRecordOfEachRunOfEqualKeys) {
    // Key then payload (from the first digit): equal keys in adding order, empty keys, and
    // keys that are prefixes of others.
    RecordBuffer held;
    for (const char* kp : {"0", "a1", "a2", "ab3", "ab4", "a5", "b6", "8", "b7"}) {
        const std::string both(kp);
        const size_t split = both.find_first_of("0123456789");
        held.append(as_bytes(both.substr(0, split)), as_bytes(both.substr(split)));
    }
    testing::sort_held_records(held);
    std::vector<ChunkMessage> got =
        run(merger_over(std::make_unique<MemorySource>(std::move(held))), uint8_t{','}, true);
    std::string joined;
    for (const ChunkMessage& m : got) {
        const ByteBuffer& chunk = std::get<ByteBuffer>(m);
        joined.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    }
    EXPECT_EQ(joined, "0,1,3,6,");
}

TEST(MergeThread, AMergeErrorReplacesTheChunkItBroke) {
    // The write fails as a whole, so the records merged before the error are not sent.
    std::vector<ChunkMessage> got = run(merger_over(std::make_unique<FailingSource>(10)));
    ASSERT_EQ(got.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<EngineError>(got[0]));
    EXPECT_EQ(std::get<EngineError>(got[0]).message(), "/spill/run-000000 is corrupt");
}

TEST(MergeThread, EndsWhenTheReceiverLetsGo) {
    RecordBuffer held;
    const std::string payload(1 << 20, 'x');
    for (int i = 0; i < 64; ++i) held.append(as_bytes(std::to_string(i)), as_bytes(payload));
    auto channels = std::make_shared<ChunkChannels>();
    std::thread thread(run_merge_thread,
                       merger_over(std::make_unique<MemorySource>(std::move(held))), channels,
                       std::nullopt, false);
    ChunkMessage message;
    ASSERT_EQ(channels->chunks.receive(message), Received::Value);
    channels->close_receiving();
    thread.join();  // hangs if the merging thread kept waiting for room
}

}  // namespace
}  // namespace tessarune
