#include "merge/merger.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <cstdio>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/testing/random_records.h"
#include "merge/memory_source.h"
#include "merge/testing/sorted_buffer.h"
#include "run/file_ops.h"

namespace tessarune {
namespace {

using testing::as_bytes;
using testing::as_string;
using testing::TestRecord;
using namespace std::string_literals;

// A source over a list of records that can be told to fail after serving some of them.
// Counts the sources alive, to see when the merger drops them.
class ListSource final : public MergeSource {
public:
    ListSource(std::vector<TestRecord> records, std::shared_ptr<int> alive,
               std::optional<size_t> fail_after = std::nullopt)
        : records_(std::move(records)), alive_(std::move(alive)), fail_after_(fail_after) {
        ++*alive_;
    }
    ~ListSource() override { --*alive_; }

    EngineResult<NextRecord> next_record(RecordView& out) override {
        EXPECT_FALSE(failed_) << "a failed source was asked again";
        if (fail_after_ && served_ == *fail_after_) {
            failed_ = true;
            return Unexpected(EngineError(ErrorKind::UnexpectedEof,
                                      "/spill/run-000001 ended before its last record"));
        }
        if (served_ == records_.size()) return NextRecord::End;
        // The record is copied into one reused buffer and the previous one scribbled over, as
        // a source reusing its memory would: a merge that kept an old view would see it.
        const TestRecord& r = records_[served_];
        scribble(held_);
        held_.clear();
        held_.append(as_bytes(r.key));
        held_.append(as_bytes(r.payload));
        out.key = Bytes(held_.data(), r.key.size());
        out.payload = Bytes(held_.data() + r.key.size(), r.payload.size());
        ++served_;
        return NextRecord::Record;
    }

private:
    std::vector<TestRecord> records_;
    std::shared_ptr<int> alive_;
    std::optional<size_t> fail_after_;
    size_t served_ = 0;
    bool failed_ = false;
    ByteBuffer held_;

    static void scribble(ByteBuffer& b) {
        for (uint8_t& byte : b) byte = 0xEE;
    }
};

class MergerTest : public ::testing::Test {
protected:
    void add_source(std::vector<TestRecord> records, std::optional<size_t> fail_after = {}) {
        sources_.push_back(std::make_unique<ListSource>(std::move(records), alive_, fail_after));
    }
    std::unique_ptr<Merger> make() {
        auto made = new_merger(std::move(sources_));
        EXPECT_TRUE(made.ok()) << (made.ok() ? "" : made.error().message());
        return made.ok() ? std::move(made).value() : nullptr;
    }
    // Every record until the end, as key and payload strings.
    std::vector<TestRecord> drain(Merger& merger) {
        std::vector<TestRecord> out;
        RecordView record;
        for (;;) {
            EngineResult<bool> next = merger.merge_next(&record);
            EXPECT_TRUE(next.ok());
            if (!next.ok() || !next.value()) return out;
            out.push_back({as_string(record.key), as_string(record.payload)});
        }
    }
    void expect_end_for_good(Merger& merger) {
        RecordView record;
        for (int i = 0; i < 3; ++i) {
            EngineResult<bool> next = merger.merge_next(&record);
            ASSERT_TRUE(next.ok());
            EXPECT_FALSE(next.value());
        }
        EXPECT_EQ(*alive_, 0) << "sources still held after the end";
    }

    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    std::vector<std::unique_ptr<MergeSource>> sources_;
};

TEST_F(MergerTest, NothingToMergeDropsEverythingAtCreation) {
    for (size_t empty_sources : {0, 1, 3}) {
        for (size_t i = 0; i < empty_sources; ++i) add_source({});
        std::unique_ptr<Merger> merger = make();
        ASSERT_TRUE(merger);
        EXPECT_EQ(*alive_, 0);
        expect_end_for_good(*merger);
    }
}

TEST_F(MergerTest, SingleSourceComesOutInItsOwnOrder) {
    const std::vector<TestRecord> records = {{"a", "1"}, {"a", "2"}, {"ab", ""}, {"b", "3"}};
    add_source(records);
    std::unique_ptr<Merger> merger = make();
    ASSERT_TRUE(merger);
    const std::vector<TestRecord> out = drain(*merger);
    ASSERT_EQ(out.size(), records.size());
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].key, records[i].key);
        EXPECT_EQ(out[i].payload, records[i].payload);
    }
    expect_end_for_good(*merger);
}

TEST_F(MergerTest, EqualKeysComeOutSourceBySourceAndPrefixesFirst) {
    add_source({{"a", "s0"}, {"a", "s0'"}, {"b", "s0"}});
    add_source({{"", "s1"}, {"a", "s1"}, {"ab", "s1"}, {"b", "s1"}});
    add_source({{"a", "s2"}, {std::string("a\0", 2), "s2"}});
    std::unique_ptr<Merger> merger = make();
    ASSERT_TRUE(merger);
    std::string order;
    for (const TestRecord& r : drain(*merger)) order += "[" + r.key + "|" + r.payload + "]";
    EXPECT_EQ(order, "[|s1][a|s0][a|s0'][a|s1][a|s2][a\0|s2][ab|s1][b|s0][b|s1]"s);
    expect_end_for_good(*merger);
}

// Keys coarser than the order (a payload's first letter), as a collation's primary keys are:
// records of equal keys come out by the tie order, then source by source.
TEST_F(MergerTest, ATieOrderOrdersEqualKeysBeforeTheirSources) {
    struct ByPayload final : TieOrder {
        int compare(const RecordView& a, const RecordView& b) override {
            return as_string(a.payload).compare(as_string(b.payload));
        }
    } ties;
    std::mt19937 rng(3);
    std::vector<std::tuple<std::string, std::string, size_t>> all;  // key, payload, source
    for (size_t source = 0; source < 5; ++source) {
        std::vector<TestRecord> records;
        for (int i = 0; i < 300; ++i) {
            std::string payload(1 + rng() % 3, 'a');
            for (char& c : payload) c = static_cast<char>('a' + rng() % 3);
            records.push_back({payload.substr(0, 1), payload});
        }
        std::stable_sort(records.begin(), records.end(),
                         [](const TestRecord& a, const TestRecord& b) { return a.payload < b.payload; });
        for (const TestRecord& r : records) all.emplace_back(r.key, r.payload, source);
        add_source(std::move(records));
    }
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return std::tie(std::get<0>(a), std::get<1>(a), std::get<2>(a)) <
               std::tie(std::get<0>(b), std::get<1>(b), std::get<2>(b));
    });
    auto made = new_merger(std::move(sources_), &ties);
    ASSERT_TRUE(made.ok());
    const std::vector<TestRecord> out = drain(**made);
    ASSERT_EQ(out.size(), all.size());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i].payload, std::get<1>(all[i])) << "record " << i;
}

TEST_F(MergerTest, RandomSourcesMatchAStableSortOfTheirConcatenation) {
    const uint64_t seed = testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // With a stem on most keys, part of it on some and none on others, the prefix that the
    // held keys share shrinks in the middle of the merge. In the third shape each source
    // covers its own range of keys, overlapping its neighbours' at the edges (with equal
    // keys there), so that one source wins long streaks.
    const std::string stem = "@2026-11-07T12:3";
    for (const int shape : {0, 1, 2}) {
        const bool stems = shape == 1;
        for (size_t k : {1, 2, 3, 7, 20}) {
            std::vector<TestRecord> all;
            std::uniform_int_distribution<size_t> length(0, 300);
            for (size_t s = 0; s < k; ++s) {
                std::vector<TestRecord> records =
                    testing::random_records(rng, length(rng), 5, 3);
                for (TestRecord& r : records) {
                    if (shape == 2) {
                        char key[16];
                        std::snprintf(key, sizeof key, "%06zu", s * 100 + rng() % 130);
                        r.key = key;
                    }
                    const uint64_t pick = rng() % 8;
                    if (stems && pick < 6) r.key = stem + r.key;
                    if (stems && pick == 6) r.key = stem.substr(0, rng() % stem.size()) + r.key;
                }
                std::stable_sort(records.begin(), records.end(),
                                 [](const TestRecord& a, const TestRecord& b) { return a.key < b.key; });
                for (TestRecord& r : records) {
                    r.payload += '@';
                    r.payload += std::to_string(s);
                }
                all.insert(all.end(), records.begin(), records.end());
                add_source(std::move(records));
            }
            std::stable_sort(all.begin(), all.end(),
                             [](const TestRecord& a, const TestRecord& b) { return a.key < b.key; });
            std::unique_ptr<Merger> merger = make();
            ASSERT_TRUE(merger);
            const std::vector<TestRecord> out = drain(*merger);
            ASSERT_EQ(out.size(), all.size()) << k << " sources, shape " << shape;
            for (size_t i = 0; i < out.size(); ++i) {
                ASSERT_EQ(out[i].key, all[i].key) << k << " sources, shape " << shape << ", record " << i;
                ASSERT_EQ(out[i].payload, all[i].payload) << k << " sources, shape " << shape << ", record " << i;
            }
            expect_end_for_good(*merger);
        }
    }
}

TEST_F(MergerTest, MemoryRecordsComeAfterEqualKeysFromRuns) {
    add_source({{"k", "run0"}, {"m", "run0"}});
    add_source({{"k", "run1"}});
    RecordBuffer held;
    for (const char* key : {"m", "k", "a"}) held.append(as_bytes(key), as_bytes("memory"));
    testing::sort_held_records(held);
    sources_.push_back(std::make_unique<MemorySource>(std::move(held)));
    std::unique_ptr<Merger> merger = make();
    ASSERT_TRUE(merger);
    std::string order;
    for (const TestRecord& r : drain(*merger)) order += r.key + ":" + r.payload + " ";
    EXPECT_EQ(order, "a:memory k:run0 k:run1 k:memory m:run0 m:memory ");
}

TEST_F(MergerTest, FailureMidMergeEndsItForGood) {
    add_source({{"a", ""}, {"c", ""}, {"d", ""}});
    add_source({{"b1", ""}, {"b2", ""}}, /*fail_after=*/1);
    std::unique_ptr<Merger> merger = make();
    ASSERT_TRUE(merger);
    RecordView record;
    std::vector<std::string> keys;
    EngineResult<bool> next = merger->merge_next(&record);
    while (next.ok() && next.value()) {
        keys.push_back(as_string(record.key));
        next = merger->merge_next(&record);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b1"}));
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(next.error().kind(), ErrorKind::UnexpectedEof);
    EXPECT_EQ(next.error().message(), "/spill/run-000001 ended before its last record");
    EXPECT_EQ(*alive_, 0);
    for (int i = 0; i < 2; ++i) {
        EngineResult<bool> later = merger->merge_next(&record);
        ASSERT_FALSE(later.ok());
        EXPECT_TRUE(later.error().kind() == ErrorKind::LostRecords);
    }
}

TEST_F(MergerTest, FailureOnAFirstRecordDropsEverythingGiven) {
    add_source({{"a", ""}});
    add_source({{"b", ""}}, /*fail_after=*/0);
    add_source({{"c", ""}});
    auto made = new_merger(std::move(sources_));
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().kind(), ErrorKind::UnexpectedEof);
    EXPECT_EQ(made.error().message(), "/spill/run-000001 ended before its last record");
    EXPECT_EQ(*alive_, 0);
}

TEST_F(MergerTest, DroppingAnOpenMergerDropsItsSources) {
    add_source({{"a", ""}, {"b", ""}});
    std::unique_ptr<Merger> merger = make();
    ASSERT_TRUE(merger);
    RecordView record;
    ASSERT_TRUE(merger->merge_next(&record).value());
    merger.reset();
    EXPECT_EQ(*alive_, 0);
}

}  // namespace
}  // namespace tessarune
