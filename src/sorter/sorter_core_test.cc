#include "sorter/sorter_core.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "base/testing/random_records.h"
#include "key/key_compare.h"
#include "run/testing/fault_file_ops.h"
#include "sorter/testing/engine_testing.h"

namespace tessarune {
namespace {

namespace tt = tessarune::testing;
using run_testing::FaultFileOps;
using tt::TestRecord;

std::shared_ptr<SorterCore> make_core(const std::string& base, uint64_t max_bytes, uint64_t max_open = 64,
                                      uint64_t threads = 1, std::shared_ptr<FileOps> ops = FileOps::system()) {
    auto core = create_core(base, max_bytes, max_open, threads, std::move(ops));
    EXPECT_TRUE(core.ok()) << core.error().message();
    return core.ok() ? core.value() : nullptr;
}

// Holds the core's mutex for one scope, as the Python side does around each call.
class Locked {
public:
    explicit Locked(SorterCore& core) : core_(core) { core_.lock(); }
    ~Locked() { core_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    SorterCore& core_;
};

EngineStatus add_record(SorterCore& core, Bytes key, Bytes payload, Poll& poll) {
    return core.add([&](Filling& f) { return f.add(key, payload, poll); });
}

EngineStatus add(SorterCore& core, const std::string& key, const std::string& payload) {
    Locked locked(core);
    SilentPoll poll;
    return add_record(core, tt::as_bytes(key), tt::as_bytes(payload), poll);
}

void add_all(SorterCore& core, const std::vector<TestRecord>& records) {
    for (const TestRecord& r : records) ASSERT_TRUE(add(core, r.key, r.payload).ok());
}

EngineResult<std::unique_ptr<FinalMerge>> start_read(SorterCore& core, bool keep, StatusByte* status = nullptr) {
    StatusByte local{SorterStatus::Open};
    SilentPoll poll;
    Locked locked(core);
    return core.start_read(status ? *status : local, keep, poll);
}

// Every payload of a read started with keep = true, through the batch; the sizes of the
// refilled batches in *batches.
std::vector<std::string> drain_batches(SorterCore& core, std::vector<size_t>* batches = nullptr) {
    std::vector<std::string> out;
    Locked locked(core);
    for (;;) {
        if (core.batch_used_up()) {
            EngineStatus refilled = core.refill_batch();
            EXPECT_TRUE(refilled.ok());
            if (!refilled) return out;
            if (batches) batches->push_back(0);
        }
        Bytes payload;
        if (core.next_payload(&payload) != NextPayload::Payload) return out;
        out.push_back(tt::as_string(payload));
        if (batches) batches->back() += 1;
    }
}

std::vector<TestRecord> drain_merger(FinalMerge& merger) {
    std::vector<TestRecord> out;
    RecordView record;
    for (;;) {
        EngineResult<bool> next = merger.merge_next(&record);
        EXPECT_TRUE(next.ok());
        if (!next || !next.value()) return out;
        out.push_back({tt::as_string(record.key), tt::as_string(record.payload)});
    }
}

std::vector<TestRecord> stable_sorted(std::vector<TestRecord> records) {
    std::stable_sort(records.begin(), records.end(), [](const TestRecord& a, const TestRecord& b) {
        return compare_keys(tt::as_bytes(a.key), tt::as_bytes(b.key)) < 0;
    });
    return records;
}

// Records of size about `size` with a key shared by all of them, told apart by payload.
std::vector<TestRecord> same_key_records(const std::vector<size_t>& payload_sizes) {
    std::vector<TestRecord> records;
    for (size_t i = 0; i < payload_sizes.size(); ++i) {
        std::string payload = std::to_string(i) + "/";
        payload.resize(std::max(payload.size(), payload_sizes[i]), '.');
        records.push_back({"k", payload});
    }
    return records;
}

class EndToEnd : public ::testing::TestWithParam<std::tuple<uint64_t, uint64_t, bool>> {};

TEST_P(EndToEnd, OutputIsTheStableSortOfTheInput) {
    const auto [threads, max_open, keep] = GetParam();
    const uint64_t seed = tt::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::vector<TestRecord> records = tt::random_records(rng, 3000, 10, 3);
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].payload += '#';
        records[i].payload += std::to_string(i);
    }

    tt::TempBase base;
    auto core = make_core(base.path(), 8192, max_open, threads);
    add_all(*core, records);
    {
        Locked locked(*core);
        EXPECT_GE(core->stats().snapshot().runs_spilled, 20u);
    }
    EXPECT_FALSE(base.spill_dir().empty());

    const std::vector<TestRecord> expected = stable_sorted(records);
    auto started = start_read(*core, keep);
    ASSERT_TRUE(started.ok()) << started.error().message();
    if (keep) {
        std::vector<std::string> payloads = drain_batches(*core);
        ASSERT_EQ(payloads.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(payloads[i], expected[i].payload) << i;
        Locked locked(*core);
        EXPECT_EQ(core->state_kind(), StateKind::Read);
    } else {
        std::vector<TestRecord> merged = drain_merger(*started.value());
        ASSERT_EQ(merged.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(merged[i].key, expected[i].key) << i;
            ASSERT_EQ(merged[i].payload, expected[i].payload) << i;
        }
    }
    EXPECT_TRUE(base.entries().empty());
}

INSTANTIATE_TEST_SUITE_P(ThreadsMaxOpenKeep, EndToEnd,
                         ::testing::Combine(::testing::Values(1, 2, 4), ::testing::Values(2, 3, 10, 64),
                                            ::testing::Bool()));

TEST(ReadPlan, FiveRunsWithMaxOpenTwoTakeThreePassesOverTheLightestWindows) {
    tt::TempBase base;
    auto ops = std::make_shared<tt::RecordingFileOps>();
    auto core = make_core(base.path(), 2, 2, 1, ops);
    // max_bytes = 2 puts every record but the last into a run of its own. Byte counts of the
    // runs: 51, 11, 11, 51, 51.
    const std::vector<TestRecord> records = same_key_records({42, 2, 2, 42, 42, 5});
    add_all(*core, records);
    auto started = start_read(*core, false);
    ASSERT_TRUE(started.ok());

    std::vector<std::string> created, removed;
    for (const auto& p : ops->created()) created.push_back(tt::base_name(p));
    for (const auto& p : ops->removed()) removed.push_back(tt::base_name(p));
    EXPECT_EQ(created, (std::vector<std::string>{"run-000000", "run-000001", "run-000002", "run-000003",
                                                 "run-000004", "run-000005", "run-000006", "run-000007"}));
    // 1+2 are lightest; then 0+5 ties with 5+3 and starts first; then 3+4 beats 6+3.
    EXPECT_EQ(removed, (std::vector<std::string>{"run-000001", "run-000002", "run-000000", "run-000005",
                                                 "run-000003", "run-000004"}));
    // Equal keys come out in adding order after all the passes.
    std::vector<TestRecord> merged = drain_merger(*started.value());
    ASSERT_EQ(merged.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(merged[i].payload, records[i].payload);
    EXPECT_TRUE(base.entries().empty());
}

TEST(ReadPlan, SixtyFiveRunsWithMaxOpenSixtyFourMergeOnlyTheLightestPair) {
    tt::TempBase base;
    auto ops = std::make_shared<tt::RecordingFileOps>();
    auto core = make_core(base.path(), 2, 64, 1, ops);
    std::vector<size_t> sizes(66, 30);
    sizes[20] = sizes[21] = sizes[40] = sizes[41] = 3;  // two equally light pairs: the first wins
    const std::vector<TestRecord> records = same_key_records(sizes);
    add_all(*core, records);
    auto started = start_read(*core, true);
    ASSERT_TRUE(started.ok());
    ASSERT_EQ(ops->removed().size(), 2u);
    EXPECT_EQ(tt::base_name(ops->removed()[0]), "run-000020");
    EXPECT_EQ(tt::base_name(ops->removed()[1]), "run-000021");
    EXPECT_EQ(tt::base_name(ops->created().back()), "run-000065");
    std::vector<std::string> payloads = drain_batches(*core);
    ASSERT_EQ(payloads.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(payloads[i], records[i].payload);
}

// What stats() calls spilled compressed is what the run files take on disk, each byte
// counted once, whether a pool worker or the spill thread wrote it.
TEST(SorterCore, CompressedBytesSpilledAreTheRunFilesSizes) {
    for (const uint64_t threads : {1, 2}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        tt::TempBase base;
        auto core = make_core(base.path(), 256 << 10, 64, threads);
        std::mt19937_64 rng(threads);
        for (int i = 0; i < 2000; ++i) {
            std::string payload(200, '\0');
            for (char& c : payload) c = static_cast<char>(rng());
            ASSERT_TRUE(add(*core, std::to_string(rng()), payload).ok());
        }
        auto started = start_read(*core, true);  // ends the spills; no merge pass
        ASSERT_TRUE(started.ok());
        uint64_t on_disk = 0;
        for (const std::string& name : tt::list_dir(base.spill_dir())) {
            on_disk += std::filesystem::file_size(base.spill_dir() + "/" + name);
        }
        EXPECT_GT(core->stats().snapshot().runs_spilled, 2u);
        EXPECT_EQ(core->stats().snapshot().bytes_spilled_compressed, on_disk);
    }
}

TEST(SorterCore, ThreadsAddingAtOnceThenOneReading) {
    tt::TempBase base;
    auto core = make_core(base.path(), 16384, 4, 2);
    std::vector<TestRecord> log;  // the adding order, written under the core's mutex
    std::vector<std::thread> adders;
    for (int t = 0; t < 4; ++t) {
        adders.emplace_back([&, t] {
            std::mt19937_64 rng(static_cast<uint64_t>(t));
            for (int i = 0; i < 1500; ++i) {
                TestRecord r{std::string(1 + rng() % 3, static_cast<char>('a' + rng() % 3)),
                             std::to_string(t) + ":" + std::to_string(i)};
                Locked locked(*core);
                SilentPoll poll;
                ASSERT_TRUE(add_record(*core, tt::as_bytes(r.key), tt::as_bytes(r.payload), poll).ok());
                log.push_back(std::move(r));
            }
        });
    }
    for (auto& t : adders) t.join();
    ASSERT_TRUE(start_read(*core, true).ok());
    std::vector<std::string> payloads = drain_batches(*core);
    const std::vector<TestRecord> expected = stable_sorted(log);
    ASSERT_EQ(payloads.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(payloads[i], expected[i].payload) << i;
    EXPECT_TRUE(base.entries().empty());
}

TEST(SorterCore, TheOwnerMarkNamesTheHolderOnly) {
    tt::TempBase base;
    auto core = make_core(base.path(), 1024);
    EXPECT_FALSE(core->held_by_this_thread());
    ASSERT_TRUE(core->try_lock());
    EXPECT_TRUE(core->held_by_this_thread());
    std::thread([&] {
        EXPECT_FALSE(core->held_by_this_thread());
        EXPECT_FALSE(core->try_lock());
    }).join();
    core->unlock();
    EXPECT_FALSE(core->held_by_this_thread());
}

TEST(SorterCore, EachStateRefusesWhatItCannotDo) {
    tt::TempBase base;
    auto core = make_core(base.path(), 1024);
    ASSERT_TRUE(add(*core, "k", "v").ok());
    StatusByte status{SorterStatus::Open};
    ASSERT_TRUE(start_read(*core, true, &status).ok());
    EXPECT_EQ(status.load(), SorterStatus::Read);
    auto refusal = [](const auto& result) { return result.ok() ? ErrorKind::Other : result.error().kind(); };
    EXPECT_EQ(refusal(add(*core, "k", "v")), ErrorKind::AddAfterRead);        // Reading
    EXPECT_EQ(refusal(start_read(*core, true)), ErrorKind::ReadOnlyOnce);
    EXPECT_EQ(drain_batches(*core), std::vector<std::string>{"v"});
    EXPECT_EQ(refusal(add(*core, "k", "v")), ErrorKind::AddAfterRead);        // Read
    EXPECT_EQ(refusal(start_read(*core, false)), ErrorKind::ReadOnlyOnce);
    {
        Locked locked(*core);
        EXPECT_EQ(core->state_kind(), StateKind::Read);
        core->stop_read();  // only a read in progress can be stopped
        EXPECT_EQ(core->state_kind(), StateKind::Read);
    }

    auto stopped = make_core(base.path(), 1024);
    ASSERT_TRUE(start_read(*stopped, true).ok());
    {
        Locked locked(*stopped);
        stopped->stop_read();
        EXPECT_EQ(stopped->state_kind(), StateKind::Stopped);
    }
    EXPECT_EQ(refusal(add(*stopped, "k", "v")), ErrorKind::Stopped);
    EXPECT_EQ(refusal(start_read(*stopped, true)), ErrorKind::Stopped);

    for (int i = 0; i < 2; ++i) {  // closing twice is harmless
        Locked locked(*core);
        core->take_state_for_close().reset();
        EXPECT_EQ(core->state_kind(), StateKind::Closed);
    }
    EXPECT_EQ(refusal(add(*core, "k", "v")), ErrorKind::Closed);
    EXPECT_EQ(refusal(start_read(*core, true)), ErrorKind::Closed);
    Locked locked(*core);
    Bytes payload;
    EXPECT_EQ(core->next_payload(&payload), NextPayload::Closed);
}

TEST(SorterCore, CreateChecksItsArgumentsAndTheBase) {
    tt::TempBase base;
    auto message = [&](int64_t max_bytes, int64_t max_open, int64_t threads) {
        auto core = create_core(base.path(), max_bytes, max_open, threads);
        EXPECT_FALSE(core.ok());
        return core.ok() ? std::string() : core.error().message();
    };
    EXPECT_EQ(message(1, 64, 1), "max_bytes must be at least 2, not 1");
    EXPECT_EQ(message(2, 0, 1), "max_open must be at least 2, not 0");
    EXPECT_EQ(message(2, 2, 0), "threads must be at least 1, not 0");
    EXPECT_EQ(message(2, -3, 1), "max_open must be at least 2, not -3");
    EXPECT_EQ(message(2, 2, int64_t{1} << 61), "threads must be at most 1024, not 2305843009213693952");
    auto missing = create_core(base.path() + "/missing", 1024, 64, 1);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
    EXPECT_EQ(missing.error().message().rfind(base.path() + "/missing: ", 0), 0u);
    // The probe leaves nothing behind, and a sorter that never spills never makes a directory.
    auto core = make_core(base.path(), 1 << 20);
    add_all(*core, {{"b", "2"}, {"a", "1"}});
    EXPECT_TRUE(base.entries().empty());
    ASSERT_TRUE(start_read(*core, true).ok());
    EXPECT_EQ(drain_batches(*core), (std::vector<std::string>{"1", "2"}));
}

TEST(SorterCore, BatchesStopAt4096PayloadsOrOnceTheyHold1MiB) {
    tt::TempBase base;
    auto small = make_core(base.path(), 1 << 20);
    for (int i = 0; i < 10000; ++i) ASSERT_TRUE(add(*small, std::to_string(i), "x").ok());
    ASSERT_TRUE(start_read(*small, true).ok());
    std::vector<size_t> batches;
    EXPECT_EQ(drain_batches(*small, &batches).size(), 10000u);
    EXPECT_EQ(batches, (std::vector<size_t>{4096, 4096, 1808, 0}));

    auto large = make_core(base.path(), 64 << 20);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(add(*large, std::to_string(i), std::string(600000, 'y')).ok());
    ASSERT_TRUE(start_read(*large, true).ok());
    batches.clear();
    EXPECT_EQ(drain_batches(*large, &batches).size(), 5u);
    EXPECT_EQ(batches, (std::vector<size_t>{2, 2, 1, 0}));
}

TEST(SorterCore, SortPoolLivesFromCreationUntilTheReadHasStarted) {
    const size_t before = tt::count_threads_named("tessarune-sort-");
    tt::TempBase base;
    auto single = make_core(base.path(), 8192, 2, 1);
    std::mt19937_64 rng(7);
    add_all(*single, tt::random_records(rng, 2000, 6, 4));
    EXPECT_EQ(tt::count_threads_named("tessarune-sort-"), before);

    auto core = make_core(base.path(), 8192, 2, 4);
    EXPECT_EQ(tt::await_threads_named("tessarune-sort-", before + 4), before + 4);
    add_all(*core, tt::random_records(rng, 2000, 6, 4));
    EXPECT_EQ(tt::count_threads_named("tessarune-sort-"), before + 4);
    auto started = start_read(*core, true);
    ASSERT_TRUE(started.ok());
    EXPECT_EQ(tt::await_threads_named("tessarune-sort-", before), before);
    EXPECT_EQ(drain_batches(*core).size(), 2000u);
}

// Started when needed, the pool stays away from a sort that neither spills nor has a large
// last half, and a sort that spills starts it and still sorts right.
TEST(SorterCore, PoolStartedWhenNeededOnlyStartsForASpill) {
    const size_t before = tt::count_threads_named("tessarune-sort-");
    tt::TempBase base;
    auto lazy = [&](uint64_t max_bytes) {
        auto core = create_core(base.path(), max_bytes, 64, 4, FileOps::system(), BaseCheck::Probe, PoolStart::WhenNeeded);
        EXPECT_TRUE(core.ok());
        return core.ok() ? core.value() : nullptr;
    };
    std::mt19937_64 rng(11);

    auto small = lazy(1 << 20);
    add_all(*small, tt::random_records(rng, 100, 6, 4));
    ASSERT_TRUE(start_read(*small, true).ok());
    EXPECT_EQ(tt::count_threads_named("tessarune-sort-"), before);
    EXPECT_EQ(drain_batches(*small).size(), 100u);

    auto spilling = lazy(8192);
    const std::vector<TestRecord> records = tt::random_records(rng, 2000, 6, 4);
    add_all(*spilling, records);
    EXPECT_EQ(tt::count_threads_named("tessarune-sort-"), before + 4);
    ASSERT_TRUE(start_read(*spilling, true).ok());
    std::vector<std::string> expected;
    for (const TestRecord& r : stable_sorted(records)) expected.push_back(r.payload);
    EXPECT_EQ(drain_batches(*spilling), expected);
}

// What the Python side's poll does at its first ask: lets go of the mutex, during which
// another thread closes the sorter, and takes it again.
class ClosingPoll final : public Poll {
public:
    explicit ClosingPoll(SorterCore& core) : core_(core) {}
    bool give_up() override {
        if (asked_++ > 0) return false;
        core_.unlock();
        std::thread([&] {
            Locked locked(core_);
            taken_ = core_.take_state_for_close();
        }).join();
        core_.lock();
        return false;  // goes on: start_read must still notice the close
    }
    std::unique_ptr<EngineState> taken_;

private:
    SorterCore& core_;
    int asked_ = 0;
};

TEST(SorterCore, ACloseWhileStartReadsPollHasTheMutexFreeWins) {
    tt::TempBase base;
    auto core = make_core(base.path(), 4096, 2);
    for (int i = 0; i < 400; ++i) ASSERT_TRUE(add(*core, std::to_string(i % 7), std::string(40, 'p')).ok());
    ClosingPoll poll(*core);
    StatusByte status{SorterStatus::Open};
    {
        Locked locked(*core);
        ASSERT_GT(core->stats().snapshot().runs_spilled, 2u);  // merge passes, so the poll is asked
        EngineResult<std::unique_ptr<FinalMerge>> started = core->start_read(status, false, poll);
        ASSERT_FALSE(started.ok());
        EXPECT_EQ(started.error().kind(), ErrorKind::Closed);
        EXPECT_EQ(core->state_kind(), StateKind::Closed);
    }
    EXPECT_NE(poll.taken_, nullptr);
    EXPECT_TRUE(base.entries().empty());
}

TEST(SorterCore, AnInterruptedWaitForASpillKeepsTheSpillAndTheNextAddSucceeds) {
    tt::TempBase base;
    auto ops = FaultFileOps::create();
    tt::Latch latch;
    ops->on_write([&] { latch.wait(); });
    auto core = make_core(base.path(), 4096, 64, 1, ops);
    const std::string key = "key", payload(40, 'p');
    Locked locked(*core);
    const auto full_for = [&](Filling& f) -> EngineResult<bool> { return f.is_full_for(tt::as_bytes(key), tt::as_bytes(payload)); };
    while (!core->add(full_for).value() || core->stats().snapshot().runs_spilled == 0) {
        SilentPoll poll;
        ASSERT_TRUE(add_record(*core, tt::as_bytes(key), tt::as_bytes(payload), poll).ok());
    }
    tt::GiveUpPoll give_up(0);
    EngineStatus interrupted = add_record(*core, tt::as_bytes(key), tt::as_bytes(payload), give_up);
    ASSERT_FALSE(interrupted.ok());
    EXPECT_TRUE(interrupted.error().kind() == ErrorKind::GaveUp);
    EXPECT_EQ(core->stats().snapshot().runs_spilled, 1u);
    latch.open();
    SilentPoll poll;
    EXPECT_TRUE(add_record(*core, tt::as_bytes(key), tt::as_bytes(payload), poll).ok());
    EXPECT_EQ(core->stats().snapshot().runs_spilled, 2u);
}

TEST(SorterCore, ClosingOrDroppingDuringASpillJoinsItAndRemovesEverything) {
    for (bool drop : {false, true}) {
        SCOPED_TRACE(drop ? "last reference dropped" : "closed");
        tt::TempBase base;
        auto ops = FaultFileOps::create();
        tt::Latch latch;
        ops->on_write([&] { latch.wait(); });
        auto core = make_core(base.path(), 4096, 64, 1, ops);
        while (true) {
            Locked locked(*core);
            if (core->stats().snapshot().runs_spilled > 0) break;
            SilentPoll poll;
            ASSERT_TRUE(add_record(*core, tt::as_bytes("key"), tt::as_bytes(std::string(40, 'p')), poll).ok());
        }
        latch.wait_for_arrivals(1);
        std::unique_ptr<EngineState> taken;
        if (!drop) {
            Locked locked(*core);
            taken = core->take_state_for_close();
            EXPECT_EQ(core->state_kind(), StateKind::Closed);
        }
        std::atomic<bool> released{false};
        std::thread releaser([&] {
            if (drop) core.reset(); else taken.reset();
            released = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(released.load());  // still joining the held spill
        latch.open();
        releaser.join();
        EXPECT_TRUE(base.entries().empty());
        EXPECT_EQ(tt::await_threads_named("tessarune-spill", 0), 0u);
    }
}

TEST(SorterCore, AFailedSpillLosesRecordsForEveryLaterAddAndRead) {
    for (bool wait_in_add : {true, false}) {
        SCOPED_TRACE(wait_in_add ? "an add finds the failure" : "the read finds the failure");
        tt::TempBase base;
        auto ops = FaultFileOps::create();
        ops->fail_writes(1, ENOSPC, 1000);
        auto core = make_core(base.path(), 4096, 64, 1, ops);
        EngineStatus added;
        size_t count = 0;
        while ((added = add(*core, std::string(1, 'k').append(std::to_string(count++)), std::string(40, 'p'))).ok()) {
            Locked locked(*core);
            if (!wait_in_add && core->stats().snapshot().runs_spilled == 1) break;
        }
        if (wait_in_add) {
            EXPECT_EQ(added.error().kind(), ErrorKind::StorageFull);
            EXPECT_TRUE(add(*core, "k", "v").error().kind() == ErrorKind::LostRecords);
        }
        StatusByte status{SorterStatus::Open};
        auto read = start_read(*core, true, &status);
        ASSERT_FALSE(read.ok());
        if (wait_in_add) {
            EXPECT_TRUE(read.error().kind() == ErrorKind::LostRecords);
        } else {  // the read waits for the spill itself and reports its error
            EXPECT_NE(read.error().message().find("No space left on device"), std::string::npos);
        }
        EXPECT_EQ(status.load(), SorterStatus::Read);
        Locked locked(*core);
        EXPECT_EQ(core->state_kind(), StateKind::Stopped);
        EXPECT_TRUE(base.entries().empty());
    }
}

TEST(SorterCore, AnInternalErrorOnTheSpillThreadReachesTheAdderAndLosesRecords) {
    tt::TempBase base;
    auto ops = std::make_shared<tt::RecordingFileOps>();
    ops->on_create([](const std::string&) { throw InternalError("the disk caught fire"); });
    auto core = make_core(base.path(), 4096, 64, 1, ops);
    bool thrown = false;
    for (int i = 0; i < 1000 && !thrown; ++i) {
        try {
            (void)add(*core, "k", std::string(40, 'p'));
        } catch (const InternalError& e) {
            thrown = true;
            EXPECT_STREQ(e.what(), "the disk caught fire");
        }
    }
    ASSERT_TRUE(thrown);
    // The mutex is usable afterwards and the engine says records were lost.
    EXPECT_TRUE(add(*core, "k", "v").error().kind() == ErrorKind::LostRecords);
}

TEST(SorterCore, AnInternalErrorDuringARefillStopsTheRead) {
    tt::TempBase base;
    auto ops = std::make_shared<tt::RecordingFileOps>();
    auto core = make_core(base.path(), 1 << 20, 64, 1, ops);
    std::mt19937_64 rng(5);
    add_all(*core, tt::random_records(rng, 40000, 8, 4));  // runs of several blocks each
    auto started = start_read(*core, true);
    ASSERT_TRUE(started.ok()) << started.error().message();
    ops->on_read([] { throw InternalError("a broken invariant"); });
    Locked locked(*core);
    bool thrown = false;
    try {
        while (core->state_kind() == StateKind::Reading) ASSERT_TRUE(core->refill_batch().ok());
    } catch (const InternalError&) {
        thrown = true;
    }
    EXPECT_TRUE(thrown);
    // A read that lost the record in hand must not go on as if nothing happened.
    EXPECT_EQ(core->state_kind(), StateKind::Stopped);
    EXPECT_TRUE(base.entries().empty());
}

// Failures of the read itself: each leaves the engine Stopped with the spill directory gone.
TEST(SorterCore, AFailedReadStopsTheEngineAndRemovesTheSpillDirectory) {
    enum class Damage { FailedPassRead, InterruptedPass, EmptyRun, TruncatedRun, VanishedRun };
    for (Damage damage : {Damage::FailedPassRead, Damage::InterruptedPass, Damage::EmptyRun,
                          Damage::TruncatedRun, Damage::VanishedRun}) {
        SCOPED_TRACE(static_cast<int>(damage));
        tt::TempBase base;
        auto ops = FaultFileOps::create();
        const bool passes = damage == Damage::FailedPassRead || damage == Damage::InterruptedPass;
        auto core = make_core(base.path(), 8192, passes ? 2 : 64, 1, ops);
        std::mt19937_64 rng(11);
        add_all(*core, tt::random_records(rng, 3000, 8, 4));
        const std::string run0 = base.spill_dir() + "/run-000000";  // complete: later runs exist
        switch (damage) {
            case Damage::FailedPassRead: ops->fail_reads(ops->read_calls() + 1, EIO, 1); break;
            case Damage::InterruptedPass: break;
            case Damage::EmptyRun: ASSERT_EQ(::truncate(run0.c_str(), 0), 0); break;
            case Damage::TruncatedRun: ASSERT_EQ(::truncate(run0.c_str(), 300), 0); break;
            case Damage::VanishedRun: ops->vanish(run0); break;
        }
        tt::GiveUpPoll poll(damage == Damage::InterruptedPass ? 1 : 1000000);
        EngineResult<std::unique_ptr<FinalMerge>> read = [&] {
            StatusByte status{SorterStatus::Open};
            Locked locked(*core);
            return core->start_read(status, true, poll);
        }();
        std::string error;
        if (read.ok()) {
            Locked locked(*core);
            while (core->state_kind() == StateKind::Reading) {
                EngineStatus refilled = core->refill_batch();
                if (!refilled) {
                    error = refilled.error().message();
                    break;
                }
            }
        } else {
            error = read.error().message();
            EXPECT_EQ(read.error().kind() == ErrorKind::GaveUp, damage == Damage::InterruptedPass);
        }
        EXPECT_FALSE(error.empty());
        if (damage == Damage::TruncatedRun || damage == Damage::EmptyRun) {
            EXPECT_EQ(error, run0 + " ended before its last record");
        }
        if (damage == Damage::VanishedRun) {
            EXPECT_EQ(error.rfind(run0 + ": ", 0), 0u) << error;
        }
        Locked locked(*core);
        EXPECT_EQ(core->state_kind(), StateKind::Stopped);
        EXPECT_TRUE(base.entries().empty());
    }
}

}  // namespace
}  // namespace tessarune
