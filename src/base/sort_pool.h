// SortPool: the sorter's own pool of worker threads, named "tessarune-sort-<index>".
//
// Its one service is run(): do a set of tasks in parallel and return when all are done. The
// sort of a half and the compression of a group of run blocks use it. The pool is shared by
// reference counting (std::shared_ptr) between the filling state, the running spill and the
// run writers; its workers end when the last holder lets go. In a process forked from the
// one that made it, letting go of the last reference abandons the pool instead: its workers
// exist only in the parent.
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
public:
    // Starts exactly `threads` workers. REQUIRES: threads >= 1. Fails with the operating
    // system's error when a thread cannot be started (the started ones are stopped again).
    static IoResult<std::shared_ptr<SortPool>> create(size_t threads);

    ~SortPool();
    SortPool(const SortPool&) = delete;
    SortPool& operator=(const SortPool&) = delete;

    size_t worker_count() const { return workers_.size(); }

    // Calls task(i) for every i in [0, count), spread over the workers, and returns when all
    // have returned. If a task throws, tasks not yet started are skipped and the first
    // exception is rethrown here.
    void run(size_t count, const std::function<void(size_t)>& task);

private:
    struct Job;
    SortPool() = default;
    void worker_main(size_t index);
    static void work_on(Job& job);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    pid_t creator_ = 0;
};

}  // namespace tessarune
