// Records whose payload is their key's raw bytes, stored once: through spills, merge passes and
// the final merge they come back as the stable sort, and they take about half the room.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/testing/random_records.h"
#include "sorter/sorter_core.h"
#include "sorter/testing/engine_testing.h"

namespace tessarune {
namespace {

namespace tt = tessarune::testing;

struct Added {
    std::string key;
    std::string payload;  // what the read must give back
    bool in_key;
};

std::string bytes_key(const std::string& raw) { return "@" + raw + std::string(2, '\0'); }

std::shared_ptr<SorterCore> make_core(const std::string& base, uint64_t max_bytes, uint64_t max_open,
                                      uint64_t threads) {
    auto core = create_core(base, max_bytes, max_open, threads);
    EXPECT_TRUE(core.ok());
    return core.ok() ? core.value() : nullptr;
}

void add_all(SorterCore& core, const std::vector<Added>& records) {
    SilentPoll poll;
    core.lock();
    for (const Added& r : records) {
        EngineStatus s = core.add([&](Filling& f) { return f.add(tt::as_bytes(r.key), tt::as_bytes(r.payload), poll); });
        ASSERT_TRUE(s.ok());
    }
    core.unlock();
}

class PayloadInKey : public ::testing::TestWithParam<std::tuple<uint64_t, uint64_t, bool>> {};

TEST_P(PayloadInKey, MixedWithOrdinaryRecordsComesBackAsTheStableSort) {
    const auto [threads, max_open, keep] = GetParam();
    const uint64_t seed = tt::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // Short raw strings over three letters: equal keys in both forms are common.
    std::vector<Added> records;
    for (size_t i = 0; i < 3000; ++i) {
        std::string raw(rng() % 6, 'a');
        for (char& c : raw) c = static_cast<char>('a' + rng() % 3);
        if (i % 700 == 0) raw.append(150000, 'z');  // a record across run blocks
        const bool in_key = rng() % 3 != 0;
        records.push_back({bytes_key(raw), in_key ? raw : raw + "#" + std::to_string(i), in_key});
    }
    tt::TempBase base;
    auto core = make_core(base.path(), 8192, max_open, threads);
    add_all(*core, records);

    std::vector<Added> expected = records;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const Added& a, const Added& b) { return a.key < b.key; });
    StatusByte status{SorterStatus::Open};
    SilentPoll poll;
    core->lock();
    auto started = core->start_read(status, keep, poll);
    ASSERT_TRUE(started.ok());
    std::vector<std::string> payloads;
    if (keep) {
        Bytes payload;
        while (true) {
            if (core->batch_used_up()) {
                ASSERT_TRUE(core->refill_batch().ok());
            }
            if (core->next_payload(&payload) != NextPayload::Payload) break;
            payloads.push_back(tt::as_string(payload));
        }
    } else {
        RecordView record;
        for (size_t i = 0;; ++i) {
            auto next = (*started)->merge_next(&record);
            ASSERT_TRUE(next.ok());
            if (!*next) break;
            ASSERT_LT(i, expected.size());
            ASSERT_EQ(tt::as_string(record.key), expected[i].key) << i;
            ASSERT_EQ(record.payload_in_key, expected[i].in_key) << i;
            payloads.push_back(tt::as_string(record.payload));
        }
    }
    core->unlock();
    ASSERT_EQ(payloads.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(payloads[i], expected[i].payload) << i;
}

INSTANTIATE_TEST_SUITE_P(ThreadsMaxOpenKeep, PayloadInKey,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Values(2, 64),
                                            ::testing::Bool()));

TEST(PayloadInKeyRoom, LinesStoredOnceSpillAboutHalfAsOften) {
    std::vector<std::string> lines;
    for (size_t i = 0; i < 4000; ++i) {
        lines.push_back("line " + std::to_string(i * 7919 % 4000) + std::string(60, '.'));
    }
    size_t runs[2];
    for (bool in_key : {false, true}) {
        std::vector<Added> records;
        for (const std::string& line : lines) {
            // The same size either way; one changed byte keeps the payload apart from its key.
            records.push_back({bytes_key(line), in_key ? line : line.substr(1) + "x", in_key});
        }
        tt::TempBase base;
        auto core = make_core(base.path(), 32768, 64, 1);
        add_all(*core, records);
        core->lock();
        runs[in_key] = core->stats().snapshot().runs_spilled;
        core->unlock();
    }
    EXPECT_GE(runs[0], 8u);
    EXPECT_LE(runs[1] * 10, runs[0] * 6);
}

}  // namespace
}  // namespace tessarune
