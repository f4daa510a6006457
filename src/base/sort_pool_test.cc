#include "base/sort_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tessarune {
namespace {

// Threads of this process whose kernel name starts with the pool workers' name.
size_t count_pool_threads() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind("tessarune-sort-", 0) == 0) ++count;
    }
    closedir(dir);
    return count;
}

// A joined thread can linger in /proc for a moment after join returns.
size_t pool_threads_after_settling(size_t expected) {
    size_t count = count_pool_threads();
    for (int i = 0; i < 500 && count != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = count_pool_threads();
    }
    return count;
}

std::shared_ptr<SortPool> make_pool(size_t threads) {
    auto made = SortPool::create(threads);
    EXPECT_TRUE(made.ok());
    return made.ok() ? std::move(made).value() : nullptr;
}

TEST(SortPool, WorkersAreNamedAndLiveExactlyAsLongAsThePool) {
    ASSERT_EQ(pool_threads_after_settling(0), 0u) << "a pool of another test is still alive";
    for (size_t threads : {1, 2, 4}) {
        std::shared_ptr<SortPool> pool = make_pool(threads);
        ASSERT_TRUE(pool);
        // Counted at once: the names must be in place when create returns.
        EXPECT_EQ(count_pool_threads(), threads);
        EXPECT_EQ(pool->worker_count(), threads);
        pool.reset();
        EXPECT_EQ(pool_threads_after_settling(0), 0u) << threads << " threads";
    }
}

TEST(SortPool, RunCallsEveryTaskExactlyOnce) {
    std::shared_ptr<SortPool> pool = make_pool(3);
    ASSERT_TRUE(pool);
    pool->run(0, [](size_t) { ADD_FAILURE() << "a task ran for count 0"; });

    for (size_t count : {1, 2, 3, 5, 1000}) {
        std::vector<std::atomic<int>> calls(count);
        pool->run(count, [&](size_t i) { calls.at(i).fetch_add(1); });
        for (size_t i = 0; i < count; ++i) ASSERT_EQ(calls[i].load(), 1) << count << ": " << i;
    }
}

TEST(SortPool, TasksRunOnWorkersAtTheSameTime) {
    // Each task waits for the other: only a pool that runs them in parallel meets both.
    std::shared_ptr<SortPool> pool = make_pool(2);
    ASSERT_TRUE(pool);
    std::mutex mutex;
    std::condition_variable cv;
    int arrived = 0;
    std::atomic<int> met{0};
    std::atomic<int> on_caller{0};
    const std::thread::id caller = std::this_thread::get_id();
    pool->run(2, [&](size_t) {
        if (std::this_thread::get_id() == caller) on_caller.fetch_add(1);
        std::unique_lock<std::mutex> lock(mutex);
        ++arrived;
        cv.notify_all();
        if (cv.wait_for(lock, std::chrono::seconds(20), [&] { return arrived == 2; })) {
            met.fetch_add(1);
        }
    });
    EXPECT_EQ(met.load(), 2);
    EXPECT_EQ(on_caller.load(), 0);
}

TEST(SortPool, NestedRunFromAWorkerCompletes) {
    std::shared_ptr<SortPool> pool = make_pool(2);
    ASSERT_TRUE(pool);
    std::vector<std::atomic<int>> inner(4 * 50);
    pool->run(4, [&](size_t outer) {
        pool->run(50, [&](size_t i) { inner.at(outer * 50 + i).fetch_add(1); });
    });
    for (size_t i = 0; i < inner.size(); ++i) ASSERT_EQ(inner[i].load(), 1) << i;
}

TEST(SortPool, ExceptionInATaskReachesTheCaller) {
    std::shared_ptr<SortPool> pool = make_pool(2);
    ASSERT_TRUE(pool);
    for (size_t count : {1, 64}) {
        EXPECT_THROW(pool->run(count,
                               [](size_t i) {
                                   if (i == 0) throw std::runtime_error("task failed");
                               }),
                     std::runtime_error);
    }
    // The pool still works afterwards.
    std::atomic<size_t> sum{0};
    pool->run(10, [&](size_t i) { sum.fetch_add(i); });
    EXPECT_EQ(sum.load(), 45u);
}

// A started task runs on a worker while the caller goes on; when every worker is busy, the
// wait runs it itself instead of waiting for one to come free.
TEST(SortPool, StartedTasksRunBesideTheCallerOrInItsWait) {
    std::shared_ptr<SortPool> pool = make_pool(1);
    ASSERT_TRUE(pool);
    const std::thread::id caller = std::this_thread::get_id();
    std::mutex mutex;
    std::condition_variable cv;
    bool worker_busy = false, release = false;
    SortPool::Pending blocker = pool->start([&] {
        std::unique_lock<std::mutex> lock(mutex);
        worker_busy = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return worker_busy; }))
            << "a started task must not wait for its caller";
    }
    std::thread::id ran_on;
    SortPool::Pending second = pool->start([&] { ran_on = std::this_thread::get_id(); });
    second.wait();  // the only worker is held: this runs the task here
    EXPECT_EQ(ran_on, caller);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    cv.notify_all();
    blocker.wait();

    SortPool::Pending failing = pool->start([] { throw std::runtime_error("task failed"); });
    EXPECT_THROW(failing.wait(), std::runtime_error);
    failing.wait();  // waited for already: nothing left to wait for
}

TEST(SortPool, ConcurrentCallersEachGetTheirOwnTasksDone) {
    std::shared_ptr<SortPool> pool = make_pool(2);
    ASSERT_TRUE(pool);
    constexpr size_t kCallers = 3, kTasks = 200, kRounds = 20;
    std::vector<std::atomic<int>> calls(kCallers * kTasks);
    std::vector<std::thread> callers;
    for (size_t c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            for (size_t round = 0; round < kRounds; ++round) {
                pool->run(kTasks, [&](size_t i) { calls[c * kTasks + i].fetch_add(1); });
            }
        });
    }
    for (std::thread& t : callers) t.join();
    for (size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i].load(), int{kRounds}) << i;
}

}  // namespace
}  // namespace tessarune
