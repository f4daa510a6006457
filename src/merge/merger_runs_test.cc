// The merge over real run readers, whose records are views that the next read of the same
// reader overwrites: long records straddle blocks, so both the block views and the readers'
// own buffers are in play while the merge holds one record of every run.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "base/testing/random_records.h"
#include "merge/memory_source.h"
#include "merge/merger.h"
#include "merge/testing/sorted_buffer.h"
#include "run/run_reader.h"
#include "run/run_writer.h"
#include "run/testing/run_files.h"

namespace tessarune {
namespace {

using run_testing::ScratchDir;
using Record = run_testing::TestRecord;

bool key_less(const Record& a, const Record& b) { return a.key < b.key; }

std::string as_string(Bytes b) { return std::string(b.begin(), b.end()); }

// Keys from a small alphabet (equal keys and prefixes are common); payloads name their
// source and position, and one in eight is padded past a block's length.
std::vector<Record> sorted_source(std::mt19937_64& rng, size_t source, size_t count) {
    std::vector<Record> records;
    for (const testing::TestRecord& r : testing::random_records(rng, count, 5, 3)) {
        std::string payload = std::to_string(source) + ":" + std::to_string(records.size());
        if (rng() % 8 == 0) {
            payload += std::string(kRawBlockSize / 2 + rng() % kRawBlockSize, 'p');
            payload += run_testing::random_bytes(rng, rng() % 64);
        }
        records.push_back({r.key, std::move(payload)});
    }
    std::stable_sort(records.begin(), records.end(), key_less);
    return records;
}

TEST(MergerOverRuns, OutputIsTheStableSortOfTheSourcesInOrder) {
    const uint64_t seed = run_testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (size_t runs : {1, 2, 5, 9}) {
        SCOPED_TRACE(std::to_string(runs) + " runs");
        ScratchDir dir;
        std::vector<Record> all;
        std::vector<std::unique_ptr<MergeSource>> sources;
        for (size_t s = 0; s < runs; ++s) {
            const std::vector<Record> records = sorted_source(rng, s, 20 + rng() % 120);
            all.insert(all.end(), records.begin(), records.end());
            const auto& ops = run_testing::system_path_ops();
            const RunInfo info = run_testing::write_run(ops, dir.file("run-" + std::to_string(s)), records);
            auto reader = open_run_reader(ops, info);
            ASSERT_TRUE(reader) << reader.error().message();
            sources.push_back(std::move(reader).value());
        }
        // The records still in memory come last, as in the final merge of a read.
        const std::vector<Record> held = sorted_source(rng, runs, 60);
        RecordBuffer buffer;
        for (const Record& r : held) {
            buffer.append(testing::as_bytes(r.key), testing::as_bytes(r.payload));
        }
        testing::sort_held_records(buffer);
        sources.push_back(std::make_unique<MemorySource>(std::move(buffer)));
        all.insert(all.end(), held.begin(), held.end());
        std::stable_sort(all.begin(), all.end(), key_less);

        auto merger = new_merger(std::move(sources));
        ASSERT_TRUE(merger) << merger.error().message();
        RecordView record;
        for (size_t i = 0; i < all.size(); ++i) {
            EngineResult<bool> next = (*merger)->merge_next(&record);
            ASSERT_TRUE(next.ok() && next.value()) << "record " << i << " of " << all.size();
            ASSERT_EQ(as_string(record.key), all[i].key) << "record " << i;
            ASSERT_EQ(as_string(record.payload), all[i].payload) << "record " << i;
        }
        EngineResult<bool> end = (*merger)->merge_next(&record);
        ASSERT_TRUE(end.ok());
        EXPECT_FALSE(end.value());
    }
}

}  // namespace
}  // namespace tessarune
