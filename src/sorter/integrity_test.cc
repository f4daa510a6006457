// A whole sort under file faults and tight descriptor limits: never wrong, never silent, and
// nothing left on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>

#include "base/record_buffer.h"
#include "base/testing/random_records.h"
#include "key/key_compare.h"
#include "run/run_writer.h"
#include "run/spill_dir.h"
#include "run/testing/fault_file_ops.h"
#include "sorter/filling.h"
#include "sorter/sorter_core.h"
#include "sorter/testing/engine_testing.h"

namespace tessarune {
namespace {

namespace tt = tessarune::testing;
using run_testing::FaultFileOps;
using tt::TestRecord;

// What a whole sort gave: the records in read order, or the first error.
struct Outcome {
    std::vector<std::string> payloads;
    std::optional<EngineError> error;
};

// Adds every record, reads everything back and releases the sorter.
Outcome sort_through(const std::string& base, const std::vector<TestRecord>& records, uint64_t max_open,
                     std::shared_ptr<FileOps> ops) {
    Outcome out;
    auto created = create_core(base, 8192, max_open, 1, std::move(ops));
    if (!created) {
        out.error = created.error();
        return out;
    }
    SorterCore& core = **created;
    core.lock();
    SilentPoll poll;
    auto fail = [&](const EngineError& e) {
        out.error = e;
        core.unlock();
        return out;
    };
    for (const TestRecord& r : records) {
        EngineStatus added = core.add([&](Filling& f) { return f.add(tt::as_bytes(r.key), tt::as_bytes(r.payload), poll); });
        if (!added) return fail(added.error());
    }
    StatusByte status{SorterStatus::Open};
    auto started = core.start_read(status, true, poll);
    if (!started) return fail(started.error());
    for (;;) {
        if (core.batch_used_up()) {
            EngineStatus refilled = core.refill_batch();
            if (!refilled) return fail(refilled.error());
        }
        Bytes payload;
        if (core.next_payload(&payload) != NextPayload::Payload) break;
        out.payloads.push_back(tt::as_string(payload));
    }
    core.unlock();
    return out;
}

std::vector<std::string> sorted_payloads(std::vector<TestRecord> records) {
    std::stable_sort(records.begin(), records.end(), [](const TestRecord& a, const TestRecord& b) {
        return compare_keys(tt::as_bytes(a.key), tt::as_bytes(b.key)) < 0;
    });
    std::vector<std::string> payloads;
    for (const TestRecord& r : records) payloads.push_back(r.payload);
    return payloads;
}

TEST(FaultCountdown, EveryFailingFileOperationGivesExactRecordsOrAnErrorNamingAFile) {
    std::mt19937_64 rng(10);
    std::vector<TestRecord> records = tt::random_records(rng, 700, 6, 4);
    for (size_t i = 0; i < records.size(); ++i) records[i].payload += std::to_string(i) + std::string(40, 'p');
    const std::vector<std::string> expected = sorted_payloads(records);

    struct Kind {
        const char* name;
        FaultFileOps::Fault fault;
        int code;
    };
    const Kind kinds[] = {{"EIO", FaultFileOps::Fault::Errno, EIO},
                          {"ENOSPC", FaultFileOps::Fault::Errno, ENOSPC},
                          {"short write", FaultFileOps::Fault::ShortWrite, 0},
                          {"EMFILE", FaultFileOps::Fault::Errno, EMFILE}};
    uint64_t positions = 0;
    for (const Kind& kind : kinds) {
        uint64_t failed = 0;
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(std::string(kind.name) + " at file operation " + std::to_string(n));
            tt::TempBase base;
            auto ops = FaultFileOps::create();
            ops->fault_operation(n, kind.fault, kind.code);
            // max_open 3 over about ten runs: merge passes before the final merge.
            const Outcome out = sort_through(base.path(), records, 3, ops);
            if (out.error) {
                ++failed;
                const EngineError& e = *out.error;
                ASSERT_FALSE(e.path().empty()) << e.message();
                ASSERT_NE(e.message().find(e.path()), std::string::npos) << e.message();
            } else {
                ASSERT_EQ(out.payloads, expected);
            }
            ASSERT_EQ(base.entries(), std::vector<std::string>{});
            if (!ops->fault_fired()) {
                // The last n reached past the sort's operations: it ran untouched.
                ASSERT_FALSE(out.error);
                ASSERT_GT(n, 100u) << "the sort did not spill and merge as meant";
                positions += n - 1;
                break;
            }
        }
        if (kind.fault == FaultFileOps::Fault::Errno) {
            EXPECT_GT(failed, 0u);
        } else {
            EXPECT_EQ(failed, 0u) << "a short write is carried on, never an error";
        }
    }
    RecordProperty("positions", std::to_string(positions));
    std::printf("fault positions covered: %llu\n", static_cast<unsigned long long>(positions));
}

TEST(DescriptorLimits, FewFreeDescriptorsMeanMorePassesNotAFailure) {
    std::mt19937_64 rng(11);
    std::vector<TestRecord> records = tt::random_records(rng, 3000, 10, 3);
    for (size_t i = 0; i < records.size(); ++i) records[i].payload += "#" + std::to_string(i);
    tt::TempBase base;
    auto ops = FaultFileOps::create();
    // The reserve takes 4: merges of at most 3 runs, passes of at most 2 (plus their output).
    ops->limit_free_descriptors(7);
    const Outcome out = sort_through(base.path(), records, 64, ops);
    ASSERT_FALSE(out.error) << out.error->message();
    EXPECT_EQ(out.payloads, sorted_payloads(records));
    EXPECT_EQ(base.entries(), std::vector<std::string>{});

    EXPECT_EQ(merge_fan_in(*ops, 64, 0), 3u);
    EXPECT_EQ(merge_fan_in(*ops, 64, 1), 2u);
    ops->limit_free_descriptors(1);
    EXPECT_EQ(merge_fan_in(*ops, 64, 0), 2u) << "never below two";
}

TEST(MergePass, PollsByBytesWrittenAsWellAsByRecords) {
    // Records of 2.5 MiB, each larger than a half, so each spills as a run of its own: a
    // pass over two of them writes two records, far fewer than 65536, but 5 MiB.
    tt::TempBase base;
    Filling filling(base.path(), 1 << 20, 2, nullptr, FileOps::system(), std::make_shared<SorterStats>());
    const std::string big((5 << 20) / 2, 'x');
    SilentPoll silent;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(filling.add(tt::as_bytes("k"), tt::as_bytes(big), silent));
    }
    ASSERT_TRUE(filling.wait_for_spill(silent));
    ASSERT_EQ(filling.runs().size(), 3u);
    tt::GiveUpPoll poll(1);  // carries on before the pass, gives up at the next poll
    EngineResult<FinalMerge> read = filling.finish(poll);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), ErrorKind::GaveUp);
    EXPECT_EQ(poll.calls(), 2u);
}

}  // namespace
}  // namespace tessarune
