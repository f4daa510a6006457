#include "base/sort_pool.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <system_error>

#include "base/process.h"

namespace tessarune {
namespace {

// Marks the workers of the pool the current thread belongs to, if any.
thread_local const SortPool* current_pool = nullptr;

}  // namespace

struct SortPool::Job {
    const std::function<void(size_t)>* task;
    std::function<void(size_t)> owned;  // the task of start(), which outlives its caller's
    size_t count;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;  // guards finished, error
    std::condition_variable all_done;
    size_t finished = 0;
    std::exception_ptr error;
};

EngineResult<std::shared_ptr<SortPool>> SortPool::create(size_t threads) {
    std::shared_ptr<SortPool> pool(new SortPool(), [](SortPool* p) {
        if (is_current_process(p->creator_)) {
            delete p;
        } else {
            // Its workers' std::thread objects would end the process if destroyed unjoined.
            abandon(std::shared_ptr<SortPool>(p, [](SortPool*) {}));
        }
    });
    pool->creator_ = ::getpid();
    pool->workers_.reserve(threads);
    for (size_t i = 0; i < threads; ++i) {
        try {
            pool->workers_.emplace_back([p = pool.get()] { p->worker_main(); });
        } catch (const std::system_error& e) {
            // The destructor stops and joins the workers started so far.
            return Unexpected(EngineError::from_errno(e.code().value()));
        }
        // Linux keeps 15 bytes of a thread's name, which leaves no room for the index.
        pthread_setname_np(pool->workers_.back().native_handle(), "tessarune-sort-");
    }
    return pool;
}

SortPool::~SortPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

void SortPool::work_on(Job& job) {
    size_t done_here = 0;
    std::exception_ptr error;
    for (size_t i; (i = job.next.fetch_add(1, std::memory_order_relaxed)) < job.count;) {
        ++done_here;
        if (job.failed.load(std::memory_order_relaxed)) continue;  // skipped, still counted
        try {
            (*job.task)(i);
        } catch (...) {
            job.failed.store(true, std::memory_order_relaxed);
            if (!error) error = std::current_exception();
        }
    }
    if (done_here == 0) return;
    std::lock_guard<std::mutex> lock(job.mutex);
    if (error && !job.error) job.error = error;
    job.finished += done_here;
    if (job.finished == job.count) job.all_done.notify_all();
}

void SortPool::wait_for(Job& job) {
    std::unique_lock<std::mutex> lock(job.mutex);
    job.all_done.wait(lock, [&] { return job.finished == job.count; });
    if (job.error) std::rethrow_exception(job.error);
}

void SortPool::worker_main() {
    current_pool = this;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, and nothing left to help with
        std::shared_ptr<Job> job = jobs_.front();
        // A job stays queued until every task of it is claimed, here or by its caller.
        if (job->next.load(std::memory_order_relaxed) >= job->count) {
            jobs_.pop_front();
            continue;
        }
        lock.unlock();
        work_on(*job);
        lock.lock();
    }
}

void SortPool::submit(const std::shared_ptr<Job>& job) {
    if (current_pool == this) {
        work_on(*job);  // a worker waiting for its fellow workers could deadlock the pool
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(job);
    }
    if (job->count >= workers_.size()) {
        wake_.notify_all();
    } else {
        for (size_t i = 0; i < job->count; ++i) wake_.notify_one();
    }
}

void SortPool::run(size_t count, const std::function<void(size_t)>& task) {
    if (count == 0) return;
    auto job = std::make_shared<Job>();
    job->task = &task;
    job->count = count;
    if (count == 1) {
        work_on(*job);
    } else {
        submit(job);
    }
    wait_for(*job);
}

SortPool::Pending SortPool::start(std::function<void()> task) {
    auto job = std::make_shared<Job>();
    job->owned = [task = std::move(task)](size_t) { task(); };
    job->task = &job->owned;
    job->count = 1;
    submit(job);
    return Pending(std::move(job));
}

void SortPool::Pending::wait() {
    if (!job_) return;
    std::shared_ptr<Job> job = std::move(job_);
    work_on(*job);  // takes the task if no worker has yet
    wait_for(*job);
}

SortPool::Pending& SortPool::Pending::operator=(Pending&& other) noexcept {
    if (this != &other) {
        wait_quietly();
        job_ = std::move(other.job_);
    }
    return *this;
}

void SortPool::Pending::wait_quietly() noexcept {
    try {
        wait();
    } catch (...) {
        // Dropped like the task's other effects: whoever wants them waits explicitly.
    }
}

}  // namespace tessarune
