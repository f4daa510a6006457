#include "base/process.h"

#include <unistd.h>

#include <mutex>
#include <vector>

namespace tessarune {

bool is_current_process(pid_t pid) { return ::getpid() == pid; }

void abandon(std::shared_ptr<void> object) {
    static std::mutex mutex;
    static auto* kept = new std::vector<std::shared_ptr<void>>();  // never freed, on purpose
    std::lock_guard<std::mutex> lock(mutex);
    kept->push_back(std::move(object));
}

}  // namespace tessarune
