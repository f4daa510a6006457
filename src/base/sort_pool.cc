#include "base/sort_pool.h"

#include <unistd.h>

#include <atomic>
#include <exception>
#include <system_error>

#include "base/process.h"
#include "base/thread_name.h"

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
            pool->workers_.emplace_back([p = pool.get(), i] { p->worker_main(i); });
        } catch (const std::system_error& e) {
            // The destructor stops and joins the workers started so far.
            return Unexpected(EngineError::from_errno(e.code().value()));
        }
        // Named from here too, so that every worker carries its name once create returns
        // (the worker's own naming may not have run yet).
        std::string name = ("tessarune-sort-" + std::to_string(i)).substr(0, 15);
        pthread_setname_np(pool->workers_.back().native_handle(), name.c_str());
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
    for (;;) {
        size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.count) break;
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

void SortPool::worker_main(size_t index) {
    set_current_thread_name("tessarune-sort-" + std::to_string(index));
    current_pool = this;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, and nothing left to help with
        std::shared_ptr<Job> job = jobs_.front();
        if (job->next.load(std::memory_order_relaxed) >= job->count) {
            jobs_.pop_front();  // every task claimed: nothing left to help with
            continue;
        }
        lock.unlock();
        work_on(*job);
        lock.lock();
    }
}

void SortPool::run(size_t count, const std::function<void(size_t)>& task) {
    if (count == 0) return;
    auto job = std::make_shared<Job>();
    job->task = &task;
    job->count = count;
    if (current_pool == this || count == 1) {
        work_on(*job);
    } else {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(job);
        }
        if (count >= workers_.size()) {
            wake_.notify_all();
        } else {
            for (size_t i = 0; i < count; ++i) wake_.notify_one();
        }
    }
    finish(*job);
    if (job->error) std::rethrow_exception(job->error);
}

SortPool::Pending SortPool::start(std::function<void()> task) {
    auto job = std::make_shared<Job>();
    job->owned = [task = std::move(task)](size_t) { task(); };
    job->task = &job->owned;
    job->count = 1;
    if (current_pool == this) {
        work_on(*job);
    } else {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(job);
        }
        wake_.notify_one();
    }
    return Pending(this, std::move(job));
}

void SortPool::finish(Job& job) {
    {
        std::unique_lock<std::mutex> lock(job.mutex);
        job.all_done.wait(lock, [&] { return job.finished == job.count; });
    }
    // A job whose tasks are all claimed may still sit in the queue; drop it.
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
        if (it->get() == &job) {
            jobs_.erase(it);
            break;
        }
    }
}

void SortPool::Pending::wait() {
    if (!job_) return;
    std::shared_ptr<Job> job = std::move(job_);
    SortPool::work_on(*job);  // takes the task if no worker has yet
    pool_->finish(*job);
    if (job->error) std::rethrow_exception(job->error);
}

void SortPool::Pending::wait_quietly() noexcept {
    try {
        wait();
    } catch (...) {
        // Dropped like the task's other effects: whoever wants them waits explicitly.
    }
}

SortPool::Pending& SortPool::Pending::operator=(Pending&& other) noexcept {
    if (this != &other) {
        wait_quietly();
        pool_ = other.pool_;
        job_ = std::move(other.job_);
    }
    return *this;
}

SortPool::Pending::~Pending() { wait_quietly(); }

}  // namespace tessarune
