#include "sorter/entry_sort.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/sort_pool.h"
#include "base/testing/random_records.h"

namespace tessarune {
namespace {

using testing::TestRecord;

// Pools live for this suite only: other tests count the pool threads alive.
class EntrySort : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (size_t workers : {2, 3, 4, 7}) {
            pools_[workers] = std::move(SortPool::create(workers)).value();
        }
    }
    static void TearDownTestSuite() { pools_.clear(); }
    static SortPool* pool_of(size_t workers) {
        return workers == 0 ? nullptr : pools_.at(workers).get();
    }

private:
    static inline std::map<size_t, std::shared_ptr<SortPool>> pools_;
};

void sort_buffer(RecordBuffer& buffer, SortPool* pool, size_t min_chunk) {
    sort_record_entries(buffer.entries().span(), buffer.arena().span(), pool, min_chunk);
}

TEST_F(EntrySort, EveryChunkingMatchesTheModel) {
    const uint64_t seed = testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // Few records over many chunk counts: odd chunk counts leave a lone run to copy, and
    // tiny chunks make co-ranking meet empty and one-sided ranges.
    for (size_t count = 0; count <= 40; ++count) {
        const std::vector<TestRecord> records = testing::random_records(rng, count, 10, 3);
        for (size_t workers : {2, 3, 4, 7}) {
            for (size_t min_chunk : {1, 2, 5}) {
                RecordBuffer buffer = testing::buffer_of(records);
                sort_buffer(buffer, pool_of(workers), min_chunk);
                ASSERT_TRUE(testing::sorted_like_model(buffer, records))
                    << count << " records, " << workers << " workers, chunks of " << min_chunk;
            }
        }
    }
    for (size_t count : {1000, 4097}) {
        const std::vector<TestRecord> records = testing::random_records(rng, count, 16, 2);
        for (size_t workers : {2, 3, 4}) {
            RecordBuffer buffer = testing::buffer_of(records);
            sort_buffer(buffer, pool_of(workers), 7);
            ASSERT_TRUE(testing::sorted_like_model(buffer, records))
                << count << " records, " << workers << " workers";
        }
    }
}

// Keys that the 8-byte prefix cannot tell apart: zero bytes at the end (zero padding makes
// "ab" and "ab\0" share a prefix), lengths around 8, and differences only past byte 8.
TEST_F(EntrySort, KeysEqualInTheirFirstEightBytes) {
    const std::string z(1, '\0');
    std::vector<TestRecord> records;
    const std::string stems[] = {"", "ab", "abcdefg", "abcdefgh", "abcdefghi"};
    const std::string tails[] = {"", z, z + z, "\x01", "\xff", "x" + z, "xy"};
    for (const std::string& stem : stems) {
        for (const std::string& tail : tails) {
            records.push_back({stem + tail, std::to_string(records.size())});
            records.push_back({stem + tail, std::to_string(records.size())});
        }
    }
    records.push_back({"abcdefgh" + std::string(30, 'q') + "a", "long"});
    records.push_back({"abcdefgh" + std::string(30, 'q'), "long prefix"});
    std::mt19937_64 rng(7);
    std::shuffle(records.begin(), records.end(), rng);
    for (size_t workers : {0, 2, 3}) {
        RecordBuffer buffer = testing::buffer_of(records);
        sort_buffer(buffer, pool_of(workers), 1);
        EXPECT_TRUE(testing::sorted_like_model(buffer, records)) << workers << " workers";
    }
}

// Keys that share a stem (all of it, part of it, or none), so that the shared prefix, ties
// that go on through several 11-byte windows, and the fallback for ties deeper than the
// window recursion goes are all met, by the partitioning and the plain path alike.
TEST_F(EntrySort, SharedStemsAndTiesAcrossWindows) {
    const uint64_t seed = testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (size_t stem_length : {0, 11, 30, 600}) {
        std::string stem;
        for (size_t i = 0; i < stem_length; ++i) stem.push_back(static_cast<char>('a' + rng() % 3));
        for (unsigned whole_share : {4u, 3u}) {  // every key has the stem, or most of them
            std::vector<TestRecord> records = testing::random_records(rng, 3000, 14, 3);
            for (TestRecord& r : records) {
                const unsigned pick = static_cast<unsigned>(rng() % 4);
                if (pick < whole_share) {
                    r.key = stem + r.key;
                } else if (pick == 3 && whole_share < 4) {
                    r.key = stem.substr(0, rng() % (stem_length + 1)) + r.key;
                }
            }
            for (size_t workers : {0, 2}) {
                RecordBuffer buffer = testing::buffer_of(records);
                sort_buffer(buffer, pool_of(workers), 64);
                ASSERT_TRUE(testing::sorted_like_model(buffer, records))
                    << "stem of " << stem_length << ", " << workers << " workers";
            }
        }
    }
}

// Keys of text with fixed separators: bytes that no key changes lie between the varying
// ones, so the first window skips them and the radix passes skip constant bits. The shapes
// add the cases that skipping must not get wrong: keys that end on a skipped byte (a proper
// prefix of longer keys), keys that end inside the window, zero bytes where keys vary, equal
// keys, and keys that still tie after every varying byte of the window and go on past it.
TEST_F(EntrySort, KeysWithConstantBytesBetweenVaryingOnes) {
    const uint64_t seed = testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const auto digits = [&](size_t n, unsigned base) {
        std::string d;
        for (size_t i = 0; i < n; ++i) d.push_back(static_cast<char>('0' + rng() % base));
        return d;
    };
    const auto stamp = [&](unsigned base) {
        return "2026-11-" + digits(2, base) + "T" + digits(2, base) + ":" + digits(2, base) + ":" +
               digits(2, base) + "." + digits(3, base) + "Z ";
    };
    struct Shape {
        const char* name;
        unsigned base;  // digits per position: 2 makes many ties
        std::function<std::string(const std::string&)> key_of;
    };
    const std::vector<Shape> shapes = {
        {"stamps and a tail", 10, [&](const std::string& s) { return s + digits(rng() % 40, 10); }},
        {"few digits, ties past the window", 2,
         [&](const std::string& s) { return s + "host-" + digits(rng() % 6, 2); }},
        {"cut anywhere", 3,
         [&](const std::string& s) { return (s + "x" + digits(30, 3)).substr(0, rng() % 60); }},
        {"zero bytes where keys vary", 2,
         [&](const std::string& s) {
             std::string k = s + digits(20, 2);
             for (char& c : k) {
                 if (c == '0' && rng() % 2 == 0) c = '\0';
             }
             return k;
         }},
    };
    // A shared prefix longer than the first look at the keys reaches (70 bytes) moves the
    // search for constant bytes past it.
    for (const std::string& prefix : {std::string(), std::string(70, 'p')}) {
        for (const Shape& shape : shapes) {
            std::vector<TestRecord> records;
            for (size_t i = 0; i < 5000; ++i) {
                records.push_back({prefix + shape.key_of(stamp(shape.base)), std::to_string(i)});
            }
            // The first record decides how far constant bytes are looked for: make it long.
            records[0].key = prefix + stamp(shape.base) + std::string(80, 'q');
            for (size_t workers : {0, 2, 3}) {
                RecordBuffer buffer = testing::buffer_of(records);
                sort_buffer(buffer, pool_of(workers), 64);
                ASSERT_TRUE(testing::sorted_like_model(buffer, records))
                    << shape.name << ", prefix of " << prefix.size() << ", " << workers << " workers";
            }
        }
    }
}

TEST_F(EntrySort, EmptyKeysAndRecordsSortByAddingOrder) {
    // Records with empty key and payload share their offset with the record after them.
    const std::vector<TestRecord> records = {{"", ""}, {"", "p"}, {"", ""}, {"", ""}, {"", "q"},
                                             {"a", ""}, {"", ""}};
    for (size_t workers : {0, 2}) {
        RecordBuffer buffer = testing::buffer_of(records);
        sort_buffer(buffer, pool_of(workers), 1);
        EXPECT_TRUE(testing::sorted_like_model(buffer, records)) << workers << " workers";
    }
}

TEST_F(EntrySort, EntryOutsideTheArenaIsRefusedBeforeAnythingMoves) {
    std::mt19937_64 rng(11);
    const std::vector<TestRecord> records = testing::random_records(rng, 200, 6, 4);
    for (size_t workers : {0, 2}) {
        RecordBuffer buffer = testing::buffer_of(records);
        buffer.entries()[150].key_length = static_cast<uint32_t>(buffer.arena_length());
        std::vector<RecordEntry> before(buffer.entries().begin(), buffer.entries().end());
        EXPECT_THROW(sort_buffer(buffer, pool_of(workers), 1),
                     InternalError);
        for (size_t i = 0; i < before.size(); ++i) {
            ASSERT_EQ(buffer.entries()[i].offset, before[i].offset) << i;
        }
    }
}

}  // namespace
}  // namespace tessarune
