#include "sorter/merge_relay.h"

#include "base/record_buffer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace tessarune {
namespace {

// "k" then 1000000 + i: keys in order.
std::string key_of(size_t i) {
    std::string key = std::to_string(1000000 + i);
    key.insert(key.begin(), 'k');
    return key;
}

// The key a bytes key `raw` encodes to: its tag, the raw bytes, the closing 00 00.
std::string stored_once_key(const std::string& raw) { return "\x05" + raw + std::string(2, '\0'); }

// Records key_of(i) with payloads of `payload_size` bytes, then the end or an error. Stored
// once: the key is stored_once_key(key_of(i)) and the payload is in it.
class CountingSource final : public MergeSource {
public:
    CountingSource(size_t count, size_t payload_size, int error, bool stored_once)
        : count_(count), payload_(payload_size, 'p'), error_(error), stored_once_(stored_once) {}

    EngineResult<NextRecord> next_record(RecordView& out) override {
        if (next_ == count_) {
            if (error_ != 0) return Unexpected(EngineError::from_errno(error_));
            return NextRecord::End;
        }
        key_ = stored_once_ ? stored_once_key(key_of(next_++)) : key_of(next_++);
        out.key = Bytes(reinterpret_cast<const uint8_t*>(key_.data()), key_.size());
        out.payload = stored_once_ ? payload_from_key(out.key)
                                   : Bytes(reinterpret_cast<const uint8_t*>(payload_.data()), payload_.size());
        out.payload_in_key = stored_once_;
        return NextRecord::Record;
    }

private:
    size_t count_, next_ = 0;
    std::string payload_, key_;
    int error_;
    bool stored_once_;
};

std::unique_ptr<MergeSource> relay_over(size_t count, size_t payload_size, int error, SortPool& pool,
                                        size_t batch_bytes, bool stored_once = false) {
    std::vector<std::unique_ptr<MergeSource>> sources;
    sources.push_back(std::make_unique<CountingSource>(count, payload_size, error, stored_once));
    auto inner = new_merger(std::move(sources));
    EXPECT_TRUE(inner);
    return start_merge_relay(std::move(inner).value(), pool, batch_bytes);
}

// Every record in order, records larger than a batch among them, then the inner merge's
// error in its place (or the end).
TEST(MergeRelay, PassesRecordsOnInOrderThenTheEndOrTheError) {
    auto pool = std::move(SortPool::create(2)).value();
    for (const int error : {0, EIO})
    for (const size_t payload : {size_t{10}, size_t{5000}}) {
        SCOPED_TRACE("error " + std::to_string(error) + ", payload " + std::to_string(payload));
        auto relay = relay_over(3000, payload, error, *pool, 4096);
        RecordView r;
        for (size_t i = 0; i < 3000; ++i) {
            EngineResult<NextRecord> next = relay->next_record(r);
            ASSERT_TRUE(next && *next == NextRecord::Record) << i;
            ASSERT_EQ(std::string(r.key.begin(), r.key.end()), key_of(i));
            ASSERT_EQ(r.payload.size(), payload);
        }
        EngineResult<NextRecord> last = relay->next_record(r);
        if (error == 0) {
            ASSERT_TRUE(last && *last == NextRecord::End);
        } else {
            ASSERT_FALSE(last);
            EXPECT_EQ(last.error().os_code(), EIO);
        }
    }
}

// A record whose payload is in its key comes out still marked so, its payload exactly the
// raw bytes between the key's tag and its closing 00 00.
TEST(MergeRelay, PassesStoredOnceRecordsOnWithTheirPayloadInTheKey) {
    auto pool = std::move(SortPool::create(2)).value();
    auto relay = relay_over(3000, 0, 0, *pool, 4096, true);
    RecordView r;
    for (size_t i = 0; i < 3000; ++i) {
        EngineResult<NextRecord> next = relay->next_record(r);
        ASSERT_TRUE(next && *next == NextRecord::Record) << i;
        ASSERT_TRUE(r.payload_in_key) << i;
        ASSERT_EQ(std::string(r.key.begin(), r.key.end()), stored_once_key(key_of(i)));
        ASSERT_EQ(std::string(r.payload.begin(), r.payload.end()), key_of(i));
    }
    EngineResult<NextRecord> last = relay->next_record(r);
    ASSERT_TRUE(last && *last == NextRecord::End);
}

// Dropped at any point, the relay stops its worker: a worker left waiting for room in a
// batch would keep the drop from ever returning.
TEST(MergeRelay, DroppingItStopsTheWorker) {
    auto pool = std::move(SortPool::create(2)).value();
    for (int round = 0; round < 20; ++round) {
        auto relay = relay_over(1000000, 20, 0, *pool, 1024);
        RecordView r;
        for (int i = 0; i < round * 7; ++i) ASSERT_TRUE(relay->next_record(r));
        relay.reset();
    }
}

}  // namespace
}  // namespace tessarune
