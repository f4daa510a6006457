// SortPool: the sorter's own pool of worker threads, each named "tessarune-sort-".
//
// Its services: run(), which does a set of tasks in parallel and returns when all are done
// (the sort of a half and the compression of a group of run blocks use it), and start(),
// which hands one task to a worker while the caller goes on (a run writer's file writes, a
// merge pass's relay). The pool is shared (std::shared_ptr) by the filling state, the running
// spill and the run writers; its workers end when the last holder lets go. In a process
// forked from the one that made it, that abandons the pool instead: its workers exist only in
// the parent.
//
// Thread safety: run() may be called from several threads at once; each call's tasks are
// done exactly once. A call made from one of this pool's own workers runs its tasks on the
// calling worker, so nested use cannot deadlock.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/expected.h"

namespace tessarune {

class SortPool {
    struct Job;

public:
    // A task handed on by start(). wait() returns once it has run; if no worker has taken it
    // yet, the waiting thread runs it itself, so a wait never depends on a free worker. An
    // empty Pending (default-made, or waited for) waits for nothing. Destroying one waits.
    class Pending {
    public:
        Pending() = default;
        Pending(Pending&&) noexcept = default;
        Pending& operator=(Pending&& other) noexcept;
        ~Pending() { wait_quietly(); }
        Pending(const Pending&) = delete;
        Pending& operator=(const Pending&) = delete;

        // Rethrows what the task threw.
        void wait();

    private:
        friend class SortPool;
        explicit Pending(std::shared_ptr<Job> job) : job_(std::move(job)) {}
        void wait_quietly() noexcept;
        std::shared_ptr<Job> job_;
    };

    // Starts exactly `threads` workers. REQUIRES: threads >= 1. Fails with the operating
    // system's error when a thread cannot be started (the started ones are stopped again).
    static EngineResult<std::shared_ptr<SortPool>> create(size_t threads);

    ~SortPool();
    SortPool(const SortPool&) = delete;
    SortPool& operator=(const SortPool&) = delete;

    size_t worker_count() const { return workers_.size(); }

    // Calls task(i) for every i in [0, count), spread over the workers, and returns when all
    // have returned. If a task throws, tasks not yet started are skipped and the first
    // exception is rethrown here.
    void run(size_t count, const std::function<void(size_t)>& task);

    // Queues task() for a worker and returns at once. Called from one of this pool's own
    // workers, it runs the task there before returning.
    Pending start(std::function<void()> task);

private:
    SortPool() = default;
    void worker_main();
    // Queues the job for the workers; on a worker of this pool, does it right there.
    void submit(const std::shared_ptr<Job>& job);
    // Claims and does tasks of the job until none is left unclaimed.
    static void work_on(Job& job);
    // Waits until every task of the job has returned; rethrows the first exception of one.
    static void wait_for(Job& job);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    pid_t creator_ = 0;
};

}  // namespace tessarune
