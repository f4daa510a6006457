#include "base/process.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace tessarune {
namespace {

// The calling process's id, kept so that the check costs a load rather than a system call
// (adding asks it for every record); a child forked from this process sets it anew.
std::atomic<pid_t> current_pid{0};

void note_pid_in_child() { current_pid.store(::getpid(), std::memory_order_relaxed); }

}  // namespace

bool is_current_process(pid_t pid) {
    // A function-local static costs one guard load per call once made; std::call_once
    // would reach for thread-local storage on every call.
    static const bool registered = [] {
        current_pid.store(::getpid(), std::memory_order_relaxed);
        pthread_atfork(nullptr, nullptr, note_pid_in_child);
        return true;
    }();
    (void)registered;
    return current_pid.load(std::memory_order_relaxed) == pid;
}

void abandon(std::shared_ptr<void> object) {
    static std::mutex mutex;
    static auto* kept = new std::vector<std::shared_ptr<void>>();  // never freed, on purpose
    std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(std::move(object));
}

uint64_t physical_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && page_size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) : 0;
}

}  // namespace tessarune
