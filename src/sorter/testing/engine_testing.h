// Support for the engine's tests: a private base directory, thread counting by name, a
// latch to hold a spill thread, polls that give up on request, a FileOps that records which
// run files were made and removed, and readers that drain a SorterCore.
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "run/testing/path_file_ops.h"
#include "run/testing/run_files.h"
#include "sorter/sorter_core.h"

namespace tessarune::testing {

using run_testing::list_dir;

// A fresh base directory for one test, removed with everything in it at the end.
class TempBase {
public:
    const std::string& path() const { return dir_.path(); }
    std::vector<std::string> entries() const { return list_dir(path()); }
    // The one spill directory in the base; empty if there is none (or more than one).
    std::string spill_dir() const {
        std::vector<std::string> names = entries();
        if (names.size() != 1 || names[0].rfind("tessarune-", 0) != 0) return "";
        return path() + "/" + names[0];
    }

private:
    run_testing::ScratchDir dir_;
};

// How many threads of this process carry a name that starts with prefix.
inline size_t count_threads_named(const std::string& prefix) {
    size_t count = 0;
    for (const std::string& task : list_dir("/proc/self/task")) {
        std::ifstream comm("/proc/self/task/" + task + "/comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind(prefix, 0) == 0) ++count;
    }
    return count;
}

// Waits (up to 10 s) until exactly n threads carry a name that starts with prefix, since a
// thread shows under its name a moment after it starts and lingers a moment after a join;
// returns the last count seen.
inline size_t await_threads_named(const std::string& prefix, size_t n) {
    size_t count = count_threads_named(prefix);
    for (int i = 0; i < 1000 && count != n; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = count_threads_named(prefix);
    }
    return count;
}

// A gate that threads wait at until it is opened.
class Latch {
public:
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        waiters_ += 1;
        arrived_.notify_all();
        opened_cv_.wait(lock, [&] { return opened_; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        opened_ = true;
        opened_cv_.notify_all();
    }
    // Waits until at least n threads have arrived at the gate.
    void wait_for_arrivals(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait(lock, [&] { return waiters_ >= n; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_cv_;
    std::condition_variable arrived_;
    bool opened_ = false;
    size_t waiters_ = 0;
};

// A poll that answers carry on for its first `carry_on` calls and give up from then on.
class GiveUpPoll final : public Poll {
public:
    explicit GiveUpPoll(uint64_t carry_on) : carry_on_(carry_on) {}
    bool give_up() override { return calls_.fetch_add(1) >= carry_on_; }
    uint64_t calls() const { return calls_.load(); }

private:
    uint64_t carry_on_;
    std::atomic<uint64_t> calls_{0};
};

// Passes every call to the real file system and records, in order, the files created and
// removed (paths as given). Hooks, if set, run before each file is created and before each
// read call (outside the lock; they may throw). Set them while no other thread uses this.
class RecordingFileOps final : public run_testing::PathFileOps {
public:
    void on_create(std::function<void(const std::string&)> hook) { create_hook_ = std::move(hook); }
    // Also reaches the files opened before.
    void on_read(std::function<void()> hook) { *read_hook_ = std::move(hook); }
    std::vector<std::string> created() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return created_;
    }
    std::vector<std::string> removed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return removed_;
    }

    EngineResult<bool> is_directory(const std::string& path) override { return inner_->is_directory(path); }
    EngineResult<std::string> current_dir() override { return inner_->current_dir(); }
    EngineStatus make_temp_dir(std::string& path) override { return inner_->make_temp_dir(path); }
    EngineResult<std::unique_ptr<WritableFile>> create_new_file(const std::string& path) override {
        if (create_hook_) create_hook_(path);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            created_.push_back(path);
        }
        return inner_->create_new_file(path);
    }
    EngineResult<std::unique_ptr<ReadableFile>> open_for_read(const std::string& path) override {
        auto file = inner_->open_for_read(path);
        if (!file) return file;
        return std::unique_ptr<ReadableFile>(std::make_unique<HookedFile>(std::move(file).value(), read_hook_));
    }
    EngineStatus remove_file(const std::string& path) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            removed_.push_back(path);
        }
        return inner_->remove_file(path);
    }
    void remove_tree(const std::string& path) override { inner_->remove_tree(path); }

private:
    class HookedFile final : public ReadableFile {
    public:
        HookedFile(std::unique_ptr<ReadableFile> inner, std::shared_ptr<std::function<void()>> hook)
            : inner_(std::move(inner)), hook_(std::move(hook)) {}
        EngineResult<size_t> read(uint8_t* data, size_t n) override {
            if (*hook_) (*hook_)();
            return inner_->read(data, n);
        }

    private:
        std::unique_ptr<ReadableFile> inner_;
        std::shared_ptr<std::function<void()>> hook_;
    };

    std::shared_ptr<run_testing::PathFileOps> inner_ = run_testing::system_path_ops();
    std::function<void(const std::string&)> create_hook_;
    std::shared_ptr<std::function<void()>> read_hook_ = std::make_shared<std::function<void()>>();
    mutable std::mutex mutex_;
    std::vector<std::string> created_;
    std::vector<std::string> removed_;
};

// The file name part of a path.
inline std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tessarune::testing
