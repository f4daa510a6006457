// FaultFileOps: a FileOps for tests that passes every call to a real one and injects
// faults on request: a failing or zero-length n-th write, short writes and reads, a failing
// n-th read, vanished paths, make_temp_dir failures. It also counts calls and records the
// directories it was asked to make.
//
// Write and read calls are counted from 1 over all files opened through this object, in
// the order they happen. Configure it before handing it to the code under test; it may be
// configured and queried from any thread (one mutex guards its state), so a spill thread
// can use it while the test thread watches.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "run/testing/path_file_ops.h"

namespace tessarune::run_testing {

class FaultFileOps final : public PathFileOps, public std::enable_shared_from_this<FaultFileOps> {
public:
    static std::shared_ptr<FaultFileOps> create(std::shared_ptr<PathFileOps> inner = system_path_ops());

    // Write calls number `first` to `first + count - 1` fail with the errno `code` (EINTR,
    // ENOSPC, ...). A later call replaces the earlier plan.
    void fail_writes(uint64_t first, int code, uint64_t count = 1);
    // Write call number `nth` writes nothing and reports 0 bytes.
    void zero_write(uint64_t nth);
    // Every write call writes at most `max_bytes` (0: no limit).
    void limit_writes(size_t max_bytes);
    // Read calls number `first` to `first + count - 1` fail with the errno `code`.
    void fail_reads(uint64_t first, int code, uint64_t count = 1);
    // Every read call reads at most `max_bytes` (0: no limit).
    void limit_reads(size_t max_bytes);
    // The path behaves as missing: opening, creating or querying it fails with ENOENT.
    void vanish(const std::string& path);
    // The next `count` make_temp_dir calls fail with the errno `code` without touching the
    // disk (EEXIST: every name taken; EACCES: no permission, even for root).
    void fail_make_dir(uint64_t count, int code);
    // current_dir fails with the errno `code` (0: works again).
    void fail_current_dir(int code);
    // Called before every write call, outside the lock (e.g. to block a spill on a latch).
    void on_write(std::function<void()> hook);

    // The countdown fault: every file operation (make, open, create, write, close, read,
    // remove; through paths or an open directory) counts from 1, and operation number `nth`
    // gets the fault. An errno fault makes it fail with that code; ShortWrite makes it write
    // one byte less than asked, if it is a write of more than one byte.
    enum class Fault { Errno, ShortWrite };
    void fault_operation(uint64_t nth, Fault fault, int code = 0);
    uint64_t operations() const;
    bool fault_fired() const;
    // free_descriptors() answers at most this many (0: no limit).
    void limit_free_descriptors(uint64_t n);

    uint64_t write_calls() const;
    uint64_t read_calls() const;
    // Every template given to make_temp_dir, in order, including those made to fail.
    std::vector<std::string> make_dir_paths() const;

    EngineResult<bool> is_directory(const std::string& path) override;
    EngineResult<std::string> current_dir() override;
    EngineStatus make_temp_dir(std::string& path) override;
    EngineResult<std::unique_ptr<WritableFile>> create_new_file(const std::string& path) override;
    EngineResult<std::unique_ptr<ReadableFile>> open_for_read(const std::string& path) override;
    EngineStatus remove_file(const std::string& path) override;
    EngineResult<std::unique_ptr<OpenDir>> open_dir(const std::string& path) override;
    void remove_tree(const std::string& path) override;
    uint64_t free_descriptors() override;
    // A job's named inputs: counted and faulted as the others, reads included.
    EngineResult<std::unique_ptr<ReadableFile>> open_input(const std::string& path) override;
    // The output target's files: counted and faulted as the others, writes included.
    EngineResult<std::unique_ptr<WritableFile>> open_for_write(const std::string& path) override;
    EngineResult<std::unique_ptr<WritableFile>> create_private_file(const std::string& path) override;

private:
    friend class FaultWritableFile;
    friend class FaultReadableFile;
    struct CallPlan {
        uint64_t first = 0;  // 0: none
        uint64_t count = 0;
        int code = 0;
        bool covers(uint64_t call) const { return first != 0 && call >= first && call - first < count; }
    };
    explicit FaultFileOps(std::shared_ptr<PathFileOps> inner);
    EngineResult<std::unique_ptr<WritableFile>> faulted(EngineResult<std::unique_ptr<WritableFile>> file);
    bool vanished(const std::string& path) const;  // REQUIRES: mutex_ held

    // What the n-th write or read call should do: fail with an errno, or pass up to a limit.
    struct Decision {
        int code = 0;          // nonzero: fail with this errno
        bool zero = false;     // report 0 bytes written
        size_t limit = 0;      // 0: no limit
    };
    Decision next_write();
    Decision next_read();
    // Counts one file operation; the errno it must fail with (0: none), or for a write a
    // short count through *shorten.
    int next_operation(bool* shorten = nullptr);

    std::shared_ptr<PathFileOps> inner_;
    mutable std::mutex mutex_;
    CallPlan write_failures_;
    uint64_t zero_write_ = 0;
    size_t write_limit_ = 0;
    CallPlan read_failures_;
    size_t read_limit_ = 0;
    std::set<std::string> vanished_;
    uint64_t make_dir_failures_left_ = 0;
    int make_dir_code_ = 0;
    int current_dir_code_ = 0;
    std::function<void()> write_hook_;
    uint64_t write_calls_ = 0;
    uint64_t read_calls_ = 0;
    std::vector<std::string> make_dir_paths_;
    uint64_t operations_ = 0;
    uint64_t fault_at_ = 0;
    Fault fault_ = Fault::Errno;
    int fault_code_ = 0;
    bool fault_fired_ = false;
    uint64_t descriptor_limit_ = 0;
};

}  // namespace tessarune::run_testing
