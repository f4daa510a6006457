#include "base/record_buffer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/sort_pool.h"
#include "base/testing/random_records.h"
#include "key/key_compare.h"
#include "sorter/entry_sort.h"

namespace tessarune {
namespace {

using testing::as_bytes;
using testing::as_string;
using testing::TestRecord;

constexpr uint64_t kDefaultHalf = 134217728;

GrowthResize expect_resize(const GrowthPlan& plan) {
    const auto* resize = std::get_if<GrowthResize>(&plan);
    EXPECT_NE(resize, nullptr) << "expected a resize, got plan #" << plan.index();
    return resize != nullptr ? *resize : GrowthResize{0, 0};
}

// Adds a record of `extra` bytes (all key) the way the engine does; false when Full.
bool add(RecordBuffer& buffer, uint64_t extra, uint64_t half) {
    if (!apply_plan(buffer, extra, half)) return false;
    const std::string key(extra, 'k');
    buffer.append(as_bytes(key), {});
    return true;
}

TEST(PlanGrowth, FirstRecordGetsTheFirstStepOrItsOwnSize) {
    RecordBuffer empty;
    GrowthResize r = expect_resize(plan_growth(empty, 10, kDefaultHalf));
    EXPECT_EQ(r.arena_capacity, 65536u);
    EXPECT_EQ(r.entry_capacity, 1024u);

    r = expect_resize(plan_growth(empty, 100000, kDefaultHalf));
    EXPECT_EQ(r.arena_capacity, 100000u);
    EXPECT_EQ(r.entry_capacity, 1024u);

    // Even the first step would pass a small budget: exactly the record, one entry.
    r = expect_resize(plan_growth(empty, 10, 1000));
    EXPECT_EQ(r.arena_capacity, 10u);
    EXPECT_EQ(r.entry_capacity, 1u);
}

TEST(PlanGrowth, OneByteHalvesHoldOneRecordEach) {
    for (uint64_t extra : {0u, 1u, 7u}) {
        RecordBuffer buffer;
        ASSERT_TRUE(add(buffer, extra, 1));
        EXPECT_EQ(buffer.arena_capacity(), extra);
        EXPECT_EQ(buffer.entry_capacity(), 1u);
        EXPECT_TRUE(std::holds_alternative<GrowthFull>(plan_growth(buffer, 0, 1)));
        EXPECT_FALSE(apply_plan(buffer, 0, 1));
        EXPECT_EQ(buffer.record_count(), 1u);  // a Full answer changes nothing
        EXPECT_EQ(buffer.arena_capacity(), extra);
    }
}

TEST(PlanGrowth, RecordLargerThanTheHalfIsAcceptedAloneThenFull) {
    RecordBuffer buffer;
    ASSERT_TRUE(add(buffer, 5000, 1000));
    EXPECT_EQ(buffer.arena_capacity(), 5000u);
    EXPECT_EQ(buffer.entry_capacity(), 1u);
    EXPECT_GT(buffer.counted_capacity(), 1000u);
    EXPECT_FALSE(apply_plan(buffer, 1, 1000));
    EXPECT_FALSE(apply_plan(buffer, 0, 1000));
}

TEST(PlanGrowth, ClearedBufferTakesAnyFirstRecord) {
    // A recycled half keeps its capacities; a first record must never find it Full.
    RecordBuffer buffer;
    const uint64_t half = 100000;
    while (add(buffer, 50, half)) {
    }
    buffer.clear();
    for (uint64_t extra : {0u, 50u, 90000u, 200000u}) {
        EXPECT_FALSE(std::holds_alternative<GrowthFull>(plan_growth(buffer, extra, half)))
            << extra;
    }
    ASSERT_TRUE(add(buffer, 200000, half));
    EXPECT_EQ(buffer.record_count(), 1u);
    EXPECT_GE(buffer.arena_capacity(), 200000u);
}

TEST(PlanGrowth, GrowthDoublesThenSplitsTheBudgetInProportion) {
    const uint64_t half = 140000;
    RecordBuffer buffer;
    uint64_t last_arena = 0, last_entries = 0;
    std::vector<std::pair<uint64_t, uint64_t>> steps;
    while (add(buffer, 10, half)) {
        if (buffer.arena_capacity() != last_arena || buffer.entry_capacity() != last_entries) {
            last_arena = buffer.arena_capacity();
            last_entries = buffer.entry_capacity();
            steps.emplace_back(last_arena, last_entries);
        }
    }
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(steps[0], std::make_pair(uint64_t{65536}, uint64_t{1024}));
    EXPECT_EQ(steps[1], std::make_pair(uint64_t{65536}, uint64_t{2048}));
    // Doubling the entries again would pass the budget: the whole budget is split by use,
    // which shrinks the arena that 10-byte records barely touch.
    const auto [arena, entries] = steps[2];
    const uint64_t need = 2048 * 10 + 10;
    const uint64_t exact = need + kCountedEntryBytes * 2049;
    EXPECT_GE(arena, need);
    EXPECT_LT(arena, 65536u);
    EXPECT_GE(entries, 2049u);
    EXPECT_LE(arena + kCountedEntryBytes * entries, half);
    EXPECT_GT(arena + kCountedEntryBytes * entries, half - kCountedEntryBytes);  // nothing left over but rounding
    EXPECT_NEAR(static_cast<double>(arena), static_cast<double>(need) * half / exact, 1.0);

    // The half was refused only once its records used more than seven eighths of it.
    const uint64_t used = buffer.arena_length() + kCountedEntryBytes * buffer.record_count();
    EXPECT_GT(used + 10 + kCountedEntryBytes, half - half / 8);
    EXPECT_LE(buffer.counted_capacity(), half);
}

TEST(PlanGrowth, SplitKeepsItsPromisesAtLargeBudgets) {
    // need x B passes 64 bits at these sizes; the split must still hold the record.
    const uint64_t half = uint64_t{1} << 50;
    const BufferSizes sizes{uint64_t{1} << 48, (uint64_t{1} << 48) - 10, uint64_t{1} << 44,
                            uint64_t{1} << 44};
    const uint64_t extra = 1000;
    const GrowthResize r = expect_resize(plan_growth(sizes, extra, half));
    EXPECT_GE(r.arena_capacity, sizes.arena_length + extra);
    EXPECT_GT(r.entry_capacity, sizes.entry_count);
    EXPECT_LE(r.arena_capacity + kCountedEntryBytes * r.entry_capacity, half);

    // A budget near the top of the 64-bit range: the geometric step's sums must not wrap
    // around into an apparent fit.
    const uint64_t top = ~uint64_t{0} / 2;
    const BufferSizes big{top / 2, top / 2, top / 128, top / 128};
    const GrowthResize resize = expect_resize(plan_growth(big, 1, top));
    EXPECT_GT(resize.arena_capacity, big.arena_length);
    EXPECT_GT(resize.entry_capacity, big.entry_count);
    EXPECT_LE(resize.arena_capacity / kCountedEntryBytes + resize.entry_capacity, top / kCountedEntryBytes);
}

// Fills halves of random budgets with records of random sizes, the way the engine does, and
// checks the accounting after every record.
TEST(PlanGrowth, RandomFillsStayWithinTheBudget) {
    const uint64_t seed = testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const uint64_t halves[] = {1, 2, 17, 1000, 65536 + kCountedEntryBytes * 1024, 100000, 1 << 20, 3 << 20};
    for (uint64_t half : halves) {
        SCOPED_TRACE("half " + std::to_string(half));
        std::uniform_int_distribution<uint64_t> small(0, 200);
        std::uniform_int_distribution<uint64_t> large(0, 2 * half);
        std::uniform_int_distribution<int> pick(0, 99);
        RecordBuffer buffer;
        for (int fills = 0; fills < 4;) {
            const uint64_t extra = pick(rng) == 0 ? large(rng) : small(rng);
            const size_t n = buffer.record_count();
            const GrowthPlan plan = plan_growth(buffer, extra, half);
            if (std::holds_alternative<GrowthFull>(plan)) {
                ASSERT_GT(n, 0u) << "an empty half answered Full";
                ASSERT_GT(buffer.arena_length() + extra + kCountedEntryBytes * (n + 1), half - half / 8);
                // The spill recycles a half that stayed within budget, else frees it.
                if (buffer.counted_capacity() <= half) {
                    buffer.clear();
                } else {
                    buffer.release();
                }
                ++fills;
                continue;
            }
            if (const auto* r = std::get_if<GrowthResize>(&plan)) {
                ASSERT_GE(r->arena_capacity, buffer.arena_length() + extra);
                ASSERT_GT(r->entry_capacity, n);
            }
            ASSERT_TRUE(apply_plan(buffer, extra, half));
            const uint64_t arena = buffer.arena_capacity();
            const uint64_t entries = buffer.entry_capacity();
            buffer.append(as_bytes(std::string(extra, 'x')), {});
            // After apply_plan the append never has to grow an array.
            ASSERT_EQ(buffer.arena_capacity(), arena);
            ASSERT_EQ(buffer.entry_capacity(), entries);
            if (buffer.counted_capacity() > half) {
                ASSERT_EQ(buffer.record_count(), 1u) << "over budget with several records";
            }
        }
    }
}

TEST(RecordBuffer, AppendLaysOutKeyThenPayload) {
    RecordBuffer buffer;
    const std::vector<TestRecord> records = {
        {"key", "payload"}, {"", "only payload"}, {"only key", ""}, {"", ""}, {"k", "p"}};
    for (const TestRecord& r : records) buffer.append(as_bytes(r.key), as_bytes(r.payload));
    ASSERT_EQ(buffer.record_count(), records.size());
    uint64_t offset = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(buffer.entries()[i].offset, offset);
        EXPECT_EQ(as_string(buffer.key_of(i)), records[i].key);
        EXPECT_EQ(as_string(buffer.payload_of(i)), records[i].payload);
        offset += records[i].key.size() + records[i].payload.size();
    }
    EXPECT_EQ(buffer.arena_length(), offset);

    buffer.clear();
    EXPECT_EQ(buffer.record_count(), 0u);
    EXPECT_EQ(buffer.arena_length(), 0u);
    EXPECT_GT(buffer.counted_capacity(), 0u);
    buffer.release();
    EXPECT_EQ(buffer.counted_capacity(), 0u);
}

TEST(RecordBuffer, ReadsOutsideTheArenaAreInternalErrors) {
    RecordBuffer buffer;
    buffer.append(as_bytes("abc"), as_bytes("de"));
    EXPECT_THROW(buffer.key_of(1), InternalError);
    EXPECT_THROW(buffer.payload_of(1), InternalError);

    buffer.entries()[0].payload_length = 3;  // one byte past the arena's end
    EXPECT_EQ(as_string(buffer.key_of(0)), "abc");
    EXPECT_THROW(buffer.payload_of(0), InternalError);
    buffer.entries()[0] = RecordEntry{4, 2, 0};  // key runs past the end
    EXPECT_THROW(buffer.key_of(0), InternalError);
    buffer.entries()[0] = RecordEntry{~uint64_t{0}, 1, 1};  // offset + length wraps around
    EXPECT_THROW(buffer.key_of(0), InternalError);
    EXPECT_THROW(buffer.payload_of(0), InternalError);
}

TEST(CompareKeys, UnsignedBytesAndPrefixFirst) {
    auto cmp = [](const std::string& a, const std::string& b) {
        return compare_keys(as_bytes(a), as_bytes(b));
    };
    EXPECT_EQ(cmp("", ""), 0);
    EXPECT_LT(cmp("", std::string(1, '\0')), 0);
    EXPECT_LT(cmp("ab", "abc"), 0);
    EXPECT_GT(cmp("abc", "ab"), 0);
    EXPECT_LT(cmp("a\x7f", "a\x80"), 0);  // unsigned: 0x80 is above 0x7f
    EXPECT_GT(cmp("\xff", "\x01\xff"), 0);
    EXPECT_EQ(cmp("same", "same"), 0);
}

class SortEntriesByPool : public ::testing::TestWithParam<size_t> {
protected:
    void SetUp() override {
        if (GetParam() > 0) {
            auto made = SortPool::create(GetParam());
            ASSERT_TRUE(made.ok());
            pool_ = std::move(made).value();
        }
    }
    std::shared_ptr<SortPool> pool_;
};

TEST_P(SortEntriesByPool, EqualKeysKeepAddingOrderAndPrefixesComeFirst) {
    const std::vector<TestRecord> records = {
        {"b", "0"}, {"a", "1"}, {"ab", "2"}, {"a", "3"}, {"", "4"},
        {std::string("a\0", 2), "5"}, {"\xff", "6"}, {"a", "7"}, {"", "8"}};
    RecordBuffer buffer = testing::buffer_of(records);
    sort_entries(buffer, pool_.get());
    std::string payloads;
    for (size_t i = 0; i < buffer.record_count(); ++i) payloads += as_string(buffer.payload_of(i));
    EXPECT_EQ(payloads, "481375206");
}

TEST_P(SortEntriesByPool, RandomRecordsMatchAStableSort) {
    const uint64_t seed = testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // Enough records that a pool of 2 or 4 splits the work; short keys over few symbols,
    // so equal keys and prefixes abound, plus some long keys sharing 8-byte prefixes.
    for (auto [count, max_key, alphabet] : {std::tuple<size_t, size_t, unsigned>{70000, 4, 3},
                                            {70000, 20, 2},
                                            {1000, 12, 256}}) {
        const std::vector<TestRecord> records =
            testing::random_records(rng, count, max_key, alphabet);
        RecordBuffer buffer = testing::buffer_of(records);
        sort_entries(buffer, pool_.get());
        EXPECT_TRUE(testing::sorted_like_model(buffer, records))
            << count << " records, keys up to " << max_key << " over " << alphabet;
    }
}

INSTANTIATE_TEST_SUITE_P(PoolSizes, SortEntriesByPool, ::testing::Values(0, 1, 2, 4),
                         [](const auto& info) {
                             return info.param == 0 ? std::string("NoPool")
                                                    : "Pool" + std::to_string(info.param);
                         });

}  // namespace
}  // namespace tessarune
