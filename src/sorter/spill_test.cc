#include "sorter/spill.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <random>

#include "base/testing/random_records.h"
#include "key/key_compare.h"
#include "run/run_reader.h"
#include "run/testing/fault_file_ops.h"
#include "run/testing/run_files.h"
#include "sorter/filling.h"
#include "sorter/testing/engine_testing.h"

namespace tessarune {
namespace {

namespace tt = tessarune::testing;
using run_testing::FaultFileOps;

std::unique_ptr<Filling> filling_state(const std::string& base, uint64_t max_bytes,
                                       std::shared_ptr<FileOps> ops = FileOps::system(),
                                       std::shared_ptr<SortPool> pool = nullptr) {
    return std::make_unique<Filling>(base, max_bytes, 64, std::move(pool), std::move(ops),
                                     std::make_shared<SorterStats>());
}

std::vector<tt::TestRecord> read_run(const RunInfo& info) {
    std::vector<tt::TestRecord> out;
    auto reader = open_run_reader(run_testing::system_path_ops(), info);
    EXPECT_TRUE(reader.ok());
    if (!reader) return out;
    ByteBuffer key, payload;
    for (;;) {
        auto next = run_testing::next_copied(**reader, key, payload);
        EXPECT_TRUE(next.ok()) << next.error().message();
        if (!next || *next == NextRecord::End) return out;
        out.push_back({tt::as_string(key.span()), tt::as_string(payload.span())});
    }
}

// Adds records until the run list has `runs` entries; returns how many were added.
size_t add_until_runs(Filling& state, size_t runs, const std::string& payload = std::string(40, 'p')) {
    SilentPoll poll;
    size_t added = 0;
    while (state.runs().size() < runs) {
        std::string key = "key" + std::to_string(added % 97);
        EXPECT_TRUE(state.add(tt::as_bytes(key), tt::as_bytes(payload), poll).ok());
        ++added;
    }
    return added;
}

TEST(SpillJob, WaitReportsEachWayASpillCanEnd) {
    SilentPoll poll;
    {
        SCOPED_TRACE("the thread fails with an I/O error");
        auto job = SpillJob::launch([] {
            return SpillResult(Unexpected(EngineError(ErrorKind::StorageFull, "run-000000: disk full")));
        }).value();
        SpillResult waited = job->wait(poll);
        ASSERT_FALSE(waited.ok());
        EXPECT_EQ(waited.error().message(), "run-000000: disk full");
    }
    {
        SCOPED_TRACE("the thread ends by an internal error");
        auto job = SpillJob::launch([]() -> SpillResult { TR_CHECK(1 + 1 == 3); return Spilled(); }).value();
        EXPECT_THROW((void)job->wait(poll), InternalError);
        job = SpillJob::launch([]() -> SpillResult { throw std::bad_alloc(); }).value();
        EXPECT_THROW((void)job->wait(poll), std::bad_alloc);
    }
    {
        SCOPED_TRACE("the thread sends its buffer back");
        auto job = SpillJob::launch([] {
            RecordBuffer buffer;
            buffer.arena().set_capacity(300);
            return SpillResult(Spilled{std::move(buffer), {}});
        }).value();
        SpillResult waited = job->wait(poll);
        ASSERT_TRUE(waited.ok());
        EXPECT_EQ(waited->buffer.arena_capacity(), 300u);
    }
}

TEST(SpillJob, AGivenUpWaitLeavesTheSpillRunningUnderItsName) {
    tt::Latch latch;
    const size_t named_before = tt::count_threads_named("tessarune-spill");
    auto job = SpillJob::launch([&] {
        latch.wait();
        return SpillResult(Spilled());
    }).value();
    latch.wait_for_arrivals(1);
    EXPECT_EQ(tt::count_threads_named("tessarune-spill"), named_before + 1);

    tt::GiveUpPoll give_up(1);
    SpillResult waited = job->wait(give_up);
    ASSERT_FALSE(waited.ok());
    EXPECT_EQ(waited.error().kind(), ErrorKind::GaveUp);
    EXPECT_EQ(give_up.calls(), 2u);  // asked once per 50 ms slice, until it gave up
    EXPECT_EQ(tt::count_threads_named("tessarune-spill"), named_before + 1);

    latch.open();
    SilentPoll poll;
    EXPECT_TRUE(job->wait(poll).ok());
    EXPECT_EQ(tt::await_threads_named("tessarune-spill", named_before), named_before);
}

TEST(SpillPipeline, MaxBytesTwoPutsEveryRecordButTheLastInARunOfItsOwn) {
    tt::TempBase base;
    auto state = filling_state(base.path(), 2);
    SilentPoll poll;
    const std::vector<tt::TestRecord> records = {{"d", "1"}, {"", ""}, {"bb", "xyz"}, {"a", "22"}, {"c", "3"}};
    for (const auto& r : records) {
        ASSERT_TRUE(state->add(tt::as_bytes(r.key), tt::as_bytes(r.payload), poll).ok());
    }
    ASSERT_TRUE(state->wait_for_spill(poll).ok());
    ASSERT_EQ(state->runs().size(), 4u);
    EXPECT_EQ(state->filling_half().record_count(), 1u);
    for (size_t i = 0; i < 4; ++i) {
        const RunInfo& run = state->runs()[i];
        EXPECT_EQ(tt::base_name(run.path), run_file_name(i));
        EXPECT_EQ(run.record_count, 1u);
        // Each a record of two fields, both short: two bytes of lengths.
        EXPECT_EQ(run.byte_count, 2 + records[i].key.size() + records[i].payload.size());
        std::vector<tt::TestRecord> back = read_run(run);
        ASSERT_EQ(back.size(), 1u);
        EXPECT_EQ(back[0].key, records[i].key);
        EXPECT_EQ(back[0].payload, records[i].payload);
    }
    // A record alone in a half is larger than the budget, so its buffer is freed, not kept.
    ASSERT_TRUE(state->spare_half().has_value());
    EXPECT_EQ(state->spare_half()->counted_capacity(), 0u);
}

TEST(SpillPipeline, EachRunIsTheStableSortOfItsHalf) {
    for (size_t workers : {1, 2}) {
        const uint64_t seed = tt::fresh_seed();
        SCOPED_TRACE("seed " + std::to_string(seed) + ", workers " + std::to_string(workers));
        std::mt19937_64 rng(seed);
        std::vector<tt::TestRecord> records = tt::random_records(rng, 3000, 8, 3);
        for (size_t i = 0; i < records.size(); ++i) records[i].payload += "#" + std::to_string(i);

        tt::TempBase base;
        auto pool = workers > 1 ? SortPool::create(workers).value() : nullptr;
        auto state = filling_state(base.path(), 8192, FileOps::system(), pool);
        SilentPoll poll;
        for (const auto& r : records) {
            ASSERT_TRUE(state->add(tt::as_bytes(r.key), tt::as_bytes(r.payload), poll).ok());
        }
        ASSERT_TRUE(state->wait_for_spill(poll).ok());
        ASSERT_GE(state->runs().size(), 10u);

        size_t first = 0;
        for (const RunInfo& run : state->runs()) {
            std::vector<tt::TestRecord> half(records.begin() + first, records.begin() + first + run.record_count);
            std::stable_sort(half.begin(), half.end(), [](const auto& a, const auto& b) {
                return compare_keys(tt::as_bytes(a.key), tt::as_bytes(b.key)) < 0;
            });
            std::vector<tt::TestRecord> back = read_run(run);
            ASSERT_EQ(back.size(), half.size());
            for (size_t i = 0; i < half.size(); ++i) {
                ASSERT_EQ(back[i].key, half[i].key) << "run " << run.path << " record " << i;
                ASSERT_EQ(back[i].payload, half[i].payload) << "run " << run.path << " record " << i;
            }
            first += run.record_count;
        }
        EXPECT_EQ(first + state->filling_half().record_count(), records.size());
    }
}

TEST(SpillPipeline, TheSpareBuffersBecomeTheNextFillingHalf) {
    tt::TempBase base;
    auto state = filling_state(base.path(), 16384);
    add_until_runs(*state, 1);
    SilentPoll poll;
    ASSERT_TRUE(state->wait_for_spill(poll).ok());
    ASSERT_TRUE(state->spare_half().has_value());
    const uint8_t* kept = state->spare_half()->arena().data();
    EXPECT_NE(kept, nullptr);
    EXPECT_LE(state->spare_half()->counted_capacity(), state->half_budget());
    EXPECT_EQ(state->spare_half()->record_count(), 0u);
    add_until_runs(*state, 2);
    EXPECT_EQ(state->filling_half().arena().data(), kept);
}

TEST(SpillPipeline, AnAddWaitsForTheRunningSpillAndCanBeInterrupted) {
    tt::TempBase base;
    auto ops = FaultFileOps::create();
    tt::Latch latch;
    ops->on_write([&] { latch.wait(); });
    auto state = filling_state(base.path(), 4096, ops);
    const size_t first_half = add_until_runs(*state, 1);
    const std::string key = "key", payload(40, 'p');
    while (!state->is_full_for(tt::as_bytes(key), tt::as_bytes(payload))) {
        SilentPoll poll;
        ASSERT_TRUE(state->add(tt::as_bytes(key), tt::as_bytes(payload), poll).ok());
    }
    const size_t held = state->filling_half().record_count();
    tt::GiveUpPoll give_up(0);
    EngineStatus waited = state->add(tt::as_bytes(key), tt::as_bytes(payload), give_up);
    ASSERT_FALSE(waited.ok());
    EXPECT_EQ(waited.error().kind(), ErrorKind::GaveUp);
    EXPECT_EQ(state->filling_half().record_count(), held);  // the record was not added
    EXPECT_EQ(state->runs().size(), 1u);

    latch.open();
    SilentPoll poll;
    ASSERT_TRUE(state->add(tt::as_bytes(key), tt::as_bytes(payload), poll).ok());
    EXPECT_EQ(state->runs().size(), 2u);
    // The first run was complete before the second spill began.
    EXPECT_EQ(read_run(state->runs()[0]).size(), first_half - 1);
}

TEST(SpillPipeline, FailuresToSpillLoseRecordsForGood) {
    tt::TempBase base;
    const std::string key = "k", payload(40, 'p');
    SilentPoll poll;
    {
        SCOPED_TRACE("the run cannot be written");
        auto ops = FaultFileOps::create();
        ops->fail_writes(1, ENOSPC, 1000);
        auto state = filling_state(base.path(), 4096, ops);
        add_until_runs(*state, 1);
        EngineStatus failed;
        while ((failed = state->add(tt::as_bytes(key), tt::as_bytes(payload), poll)).ok()) {
        }
        const std::string text = failed.error().message();
        EXPECT_EQ(text.rfind(state->runs()[0].path + ": ", 0), 0u) << text;
        EXPECT_NE(text.find("No space left on device (os error 28)"), std::string::npos) << text;
        EngineStatus later = state->add(tt::as_bytes(key), tt::as_bytes(payload), poll);
        ASSERT_FALSE(later.ok());
        EXPECT_TRUE(later.error().kind() == ErrorKind::LostRecords);
    }
    {
        SCOPED_TRACE("the spill directory cannot be made");
        auto ops = FaultFileOps::create();
        ops->fail_make_dir(1, EACCES);
        auto state = filling_state(base.path(), 4096, ops);
        EngineStatus failed;
        while ((failed = state->add(tt::as_bytes(key), tt::as_bytes(payload), poll)).ok()) {
        }
        EXPECT_EQ(failed.error().kind(), ErrorKind::PermissionDenied);
        EXPECT_EQ(failed.error().message().rfind(base.path() + ": ", 0), 0u) << failed.error().message();
        EXPECT_EQ(state->add(tt::as_bytes(key), tt::as_bytes(payload), poll).error().kind(),
                  ErrorKind::LostRecords);
        EXPECT_TRUE(base.entries().empty());
    }
}

TEST(SpillPipeline, FieldsOf4GiBAreRefusedBeforeAnythingIsCopied) {
    const size_t size = size_t{1} << 32;
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    const Bytes huge(static_cast<const uint8_t*>(mapped), size);
    tt::TempBase base;
    auto state = filling_state(base.path(), 4096);
    SilentPoll poll;
    ASSERT_TRUE(state->add(tt::as_bytes("a"), tt::as_bytes("b"), poll).ok());
    const uint64_t capacity = state->filling_half().counted_capacity();
    for (auto [key, payload] : {std::pair{huge, Bytes()}, std::pair{Bytes(), huge}}) {
        EngineStatus refused = state->add(key, payload, poll);
        ASSERT_FALSE(refused.ok());
        EXPECT_TRUE(refused.error().kind() == ErrorKind::InvalidArgument);
        EXPECT_EQ(refused.error().message(), "a key or value must be shorter than 4 GiB");
    }
    EXPECT_EQ(state->filling_half().record_count(), 1u);
    EXPECT_EQ(state->filling_half().counted_capacity(), capacity);
    EXPECT_TRUE(state->runs().empty());
    ::munmap(mapped, size);
}

// Each case: the text, whether zero bytes are looked for, the most lines, and the lines
// taken. Whatever is not taken is left untouched for the one-record paths.
TEST(SpillPipeline, LinesAreTakenUpToTheFirstOneTheyCannotTakeAsTheHalfStands) {
    struct Case {
        std::string text;
        bool may_hold_zero;
        size_t max_lines;
        std::vector<std::string> taken;
    };
    const std::vector<Case> cases = {
        {"b\na\n\nc", false, 100, {"b", "a", ""}},          // the last line has no end yet
        {"b\nx\0y\na\n", true, 100, {"b"}},                 // a zero byte: the escaped path's
        {std::string("b\nx\0y\na\n", 8), false, 100, {"b", std::string("x\0y", 3), "a"}},
        {"b\na\nc\n", false, 2, {"b", "a"}},
        {std::string(70000, 'l') + "\nb\n", false, 100, {}},  // more than the half has room for
    };
    tt::TempBase base;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        auto stats = std::make_shared<SorterStats>();
        auto state = std::make_unique<Filling>(base.path(), 1 << 20, 64, nullptr, FileOps::system(), stats);
        SilentPoll poll;
        ASSERT_TRUE(state->add(tt::as_bytes("k"), tt::as_bytes("p"), poll).ok());
        EngineResult<LinesTaken> taken =
            state->try_add_lines(tt::as_bytes(c.text), '\n', c.may_hold_zero, c.max_lines);
        ASSERT_TRUE(taken.ok());
        EXPECT_EQ(taken->lines, c.taken.size());
        size_t bytes = 0;
        for (const std::string& line : c.taken) bytes += line.size() + 1;
        EXPECT_EQ(taken->bytes, bytes);
        ASSERT_EQ(state->filling_half().record_count(), 1 + c.taken.size());
        EXPECT_EQ(stats->snapshot().items, 1 + c.taken.size());
        for (size_t i = 0; i < c.taken.size(); ++i) {
            EXPECT_EQ(tt::as_string(state->filling_half().key_of(1 + i)), "@" + c.taken[i] + std::string(2, '\0'));
            EXPECT_TRUE(state->filling_half().payload_in_key_of(1 + i));
        }
    }
}

}  // namespace
}  // namespace tessarune
