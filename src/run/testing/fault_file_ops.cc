#include "run/testing/fault_file_ops.h"

#include <cerrno>

namespace tessarune::run_testing {

// The file wrappers keep their FaultFileOps alive: a run reader may outlive the test's own
// reference to it.
class FaultWritableFile final : public WritableFile {
public:
    FaultWritableFile(std::shared_ptr<FaultFileOps> ops, std::unique_ptr<WritableFile> inner)
        : ops_(std::move(ops)), inner_(std::move(inner)) {}

    EngineResult<size_t> write(const uint8_t* data, size_t n) override {
        bool shorten = false;
        if (const int code = ops_->next_operation(&shorten)) return Unexpected(EngineError::from_errno(code));
        if (shorten && n > 1) n -= 1;
        const FaultFileOps::Decision d = ops_->next_write();
        if (d.code != 0) return Unexpected(EngineError::from_errno(d.code));
        if (d.zero) return size_t{0};
        return inner_->write(data, d.limit != 0 && n > d.limit ? d.limit : n);
    }
    EngineStatus close() override {
        EngineStatus closed = inner_->close();
        if (const int code = ops_->next_operation()) return Unexpected(EngineError::from_errno(code));
        return closed;
    }
    void write_behind(uint64_t offset, uint64_t length, bool settle) override {
        inner_->write_behind(offset, length, settle);
    }

private:
    std::shared_ptr<FaultFileOps> ops_;
    std::unique_ptr<WritableFile> inner_;
};

class FaultReadableFile final : public ReadableFile {
public:
    FaultReadableFile(std::shared_ptr<FaultFileOps> ops, std::unique_ptr<ReadableFile> inner)
        : ops_(std::move(ops)), inner_(std::move(inner)) {}

    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        if (const int code = ops_->next_operation()) return Unexpected(EngineError::from_errno(code));
        const FaultFileOps::Decision d = ops_->next_read();
        if (d.code != 0) return Unexpected(EngineError::from_errno(d.code));
        return inner_->read(data, d.limit != 0 && n > d.limit ? d.limit : n);
    }

    void drop_before(uint64_t offset) override { inner_->drop_before(offset); }
    void uncache_before(uint64_t offset) override { inner_->uncache_before(offset); }

private:
    std::shared_ptr<FaultFileOps> ops_;
    std::unique_ptr<ReadableFile> inner_;
};

std::shared_ptr<FaultFileOps> FaultFileOps::create(std::shared_ptr<PathFileOps> inner) {
    return std::shared_ptr<FaultFileOps>(new FaultFileOps(std::move(inner)));
}

FaultFileOps::FaultFileOps(std::shared_ptr<PathFileOps> inner) : inner_(std::move(inner)) {}

void FaultFileOps::fail_writes(uint64_t first, int code, uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_failures_ = CallPlan{first, count, code};
}

void FaultFileOps::zero_write(uint64_t nth) {
    std::lock_guard<std::mutex> lock(mutex_);
    zero_write_ = nth;
}

void FaultFileOps::limit_writes(size_t max_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_limit_ = max_bytes;
}

void FaultFileOps::fail_reads(uint64_t first, int code, uint64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    read_failures_ = CallPlan{first, count, code};
}

void FaultFileOps::limit_reads(size_t max_bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    read_limit_ = max_bytes;
}

void FaultFileOps::vanish(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    vanished_.insert(path);
}

void FaultFileOps::fail_make_dir(uint64_t count, int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    make_dir_failures_left_ = count;
    make_dir_code_ = code;
}

void FaultFileOps::fail_current_dir(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    current_dir_code_ = code;
}

void FaultFileOps::on_write(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    write_hook_ = std::move(hook);
}

void FaultFileOps::fault_operation(uint64_t nth, Fault fault, int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_at_ = nth;
    fault_ = fault;
    fault_code_ = code;
    fault_fired_ = false;
}

uint64_t FaultFileOps::operations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return operations_;
}

bool FaultFileOps::fault_fired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fault_fired_;
}

void FaultFileOps::limit_free_descriptors(uint64_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    descriptor_limit_ = n;
}

int FaultFileOps::next_operation(bool* shorten) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++operations_ != fault_at_) return 0;
    fault_fired_ = true;
    if (fault_ == Fault::Errno) return fault_code_;
    if (shorten != nullptr) *shorten = true;
    return 0;
}

uint64_t FaultFileOps::free_descriptors() {
    const uint64_t real = inner_->free_descriptors();
    std::lock_guard<std::mutex> lock(mutex_);
    return descriptor_limit_ != 0 && descriptor_limit_ < real ? descriptor_limit_ : real;
}

uint64_t FaultFileOps::write_calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_calls_;
}

uint64_t FaultFileOps::read_calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return read_calls_;
}

std::vector<std::string> FaultFileOps::make_dir_paths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return make_dir_paths_;
}

FaultFileOps::Decision FaultFileOps::next_write() {
    std::function<void()> hook;
    Decision d;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const uint64_t call = ++write_calls_;
        if (write_failures_.covers(call)) d.code = write_failures_.code;
        d.zero = call == zero_write_;
        d.limit = write_limit_;
        hook = write_hook_;
    }
    if (hook) hook();
    return d;
}

FaultFileOps::Decision FaultFileOps::next_read() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t call = ++read_calls_;
    Decision d;
    if (read_failures_.covers(call)) d.code = read_failures_.code;
    d.limit = read_limit_;
    return d;
}

bool FaultFileOps::vanished(const std::string& path) const { return vanished_.count(path) != 0; }

EngineResult<bool> FaultFileOps::is_directory(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (vanished(path)) return Unexpected(EngineError::from_errno(ENOENT));
    }
    return inner_->is_directory(path);
}

EngineResult<std::string> FaultFileOps::current_dir() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_dir_code_ != 0) return Unexpected(EngineError::from_errno(current_dir_code_));
    }
    return inner_->current_dir();
}

EngineStatus FaultFileOps::make_temp_dir(std::string& path) {
    if (const int code = next_operation()) return Unexpected(EngineError::from_errno(code));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        make_dir_paths_.push_back(path);
        if (make_dir_failures_left_ != 0) {
            --make_dir_failures_left_;
            return Unexpected(EngineError::from_errno(make_dir_code_));
        }
    }
    return inner_->make_temp_dir(path);
}

EngineResult<std::unique_ptr<WritableFile>> FaultFileOps::create_new_file(const std::string& path) {
    if (const int code = next_operation()) return Unexpected(EngineError::from_errno(code));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (vanished(path)) return Unexpected(EngineError::from_errno(ENOENT));
    }
    EngineResult<std::unique_ptr<WritableFile>> file = inner_->create_new_file(path);
    if (!file) return file;
    return std::unique_ptr<WritableFile>(
        std::make_unique<FaultWritableFile>(shared_from_this(), std::move(file).value()));
}

EngineResult<std::unique_ptr<ReadableFile>> FaultFileOps::open_for_read(const std::string& path) {
    if (const int code = next_operation()) return Unexpected(EngineError::from_errno(code));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (vanished(path)) return Unexpected(EngineError::from_errno(ENOENT));
    }
    EngineResult<std::unique_ptr<ReadableFile>> file = inner_->open_for_read(path);
    if (!file) return file;
    return std::unique_ptr<ReadableFile>(
        std::make_unique<FaultReadableFile>(shared_from_this(), std::move(file).value()));
}

EngineResult<std::unique_ptr<ReadableFile>> FaultFileOps::open_input(const std::string& path) {
    if (const int code = next_operation()) return Unexpected(EngineError::from_errno(code));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (vanished(path)) return Unexpected(EngineError::from_errno(ENOENT));
    }
    EngineResult<std::unique_ptr<ReadableFile>> file = inner_->open_input(path);
    if (!file) return file;
    return std::unique_ptr<ReadableFile>(
        std::make_unique<FaultReadableFile>(shared_from_this(), std::move(file).value()));
}

EngineStatus FaultFileOps::remove_file(const std::string& path) {
    if (const int code = next_operation()) return Unexpected(EngineError::from_errno(code));
    return inner_->remove_file(path);
}

EngineResult<std::unique_ptr<OpenDir>> FaultFileOps::open_dir(const std::string& path) {
    if (const int code = next_operation()) return Unexpected(EngineError::from_errno(code));
    return PathFileOps::open_dir(path);
}

void FaultFileOps::remove_tree(const std::string& path) { inner_->remove_tree(path); }

EngineResult<std::unique_ptr<WritableFile>> FaultFileOps::faulted(EngineResult<std::unique_ptr<WritableFile>> file) {
    if (!file) return file;
    return std::unique_ptr<WritableFile>(
        std::make_unique<FaultWritableFile>(shared_from_this(), std::move(file).value()));
}

EngineResult<std::unique_ptr<WritableFile>> FaultFileOps::open_for_write(const std::string& path) {
    if (const int code = next_operation()) return Unexpected(EngineError::from_errno(code));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (vanished(path)) return Unexpected(EngineError::from_errno(ENOENT));
    }
    return faulted(inner_->open_for_write(path));
}

EngineResult<std::unique_ptr<WritableFile>> FaultFileOps::create_private_file(const std::string& path) {
    if (const int code = next_operation()) return Unexpected(EngineError::from_errno(code));
    return faulted(inner_->create_private_file(path));
}

}  // namespace tessarune::run_testing
