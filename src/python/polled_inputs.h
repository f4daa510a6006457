// PolledInputs: a FileOps that passes every call to another one, but asks a poll before each
// read of an input file, and again when a read was interrupted by a signal. The job's engine
// asks its poll only while it waits or merges; reading a large input, or standing by a pipe
// that is slow to fill, must answer Ctrl-C too. A poll that gives up fails the read with
// GaveUp.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "run/file_ops.h"
#include "sorter/poll.h"

namespace tessarune::python {

class PolledInputs final : public FileOps {
public:
    // `poll` outlives this. Each read asks for at most `most_per_read` bytes (0: no limit),
    // so that a test can cut records across reads.
    PolledInputs(std::shared_ptr<FileOps> inner, Poll& poll, size_t most_per_read = 0)
        : inner_(std::move(inner)), poll_(poll), most_per_read_(most_per_read) {}

    EngineResult<std::unique_ptr<ReadableFile>> open_input(const std::string& path) override {
        return polled(inner_->open_input(path));
    }
    EngineResult<std::unique_ptr<ReadableFile>> standard_input() override { return polled(inner_->standard_input()); }

    EngineResult<bool> is_directory(const std::string& path) override { return inner_->is_directory(path); }
    EngineResult<std::string> current_dir() override { return inner_->current_dir(); }
    EngineStatus make_temp_dir(std::string& path) override { return inner_->make_temp_dir(path); }
    void remove_empty_dir(const std::string& path) override { inner_->remove_empty_dir(path); }
    EngineResult<std::unique_ptr<OpenDir>> open_dir(const std::string& path) override {
        return inner_->open_dir(path);
    }
    EngineResult<std::unique_ptr<WritableFile>> create_new_file_in(OpenDir& dir, const std::string& name) override {
        return inner_->create_new_file_in(dir, name);
    }
    EngineResult<std::unique_ptr<ReadableFile>> open_for_read_in(OpenDir& dir, const std::string& name) override {
        return inner_->open_for_read_in(dir, name);
    }
    EngineStatus remove_file_in(OpenDir& dir, const std::string& name) override {
        return inner_->remove_file_in(dir, name);
    }
    void remove_dir(std::unique_ptr<OpenDir> dir) override { inner_->remove_dir(std::move(dir)); }
    uint64_t free_descriptors() override { return inner_->free_descriptors(); }
    EngineResult<InputStatus> input_status(const std::string& path) override { return inner_->input_status(path); }
    EngineResult<InputStatus> standard_input_status() override { return inner_->standard_input_status(); }
    EngineResult<PathStatus> path_status(const std::string& path, bool follow_links) override {
        return inner_->path_status(path, follow_links);
    }
    EngineResult<std::string> real_path(const std::string& path) override { return inner_->real_path(path); }
    EngineStatus check_access(const std::string& path, int how) override { return inner_->check_access(path, how); }
    bool has_extended_attributes(const std::string& path) override { return inner_->has_extended_attributes(path); }
    uint32_t creation_mask() override { return inner_->creation_mask(); }
    EngineResult<std::unique_ptr<WritableFile>> open_for_write(const std::string& path) override {
        return inner_->open_for_write(path);
    }
    EngineResult<std::unique_ptr<WritableFile>> create_private_file(const std::string& path) override {
        return inner_->create_private_file(path);
    }
    EngineStatus change_mode(const std::string& path, uint32_t mode) override {
        return inner_->change_mode(path, mode);
    }
    EngineStatus rename_path(const std::string& from, const std::string& to) override {
        return inner_->rename_path(from, to);
    }
    EngineStatus remove_path(const std::string& path) override { return inner_->remove_path(path); }
    std::unique_ptr<WritableFile> standard_output() override { return inner_->standard_output(); }

private:
    EngineResult<std::unique_ptr<ReadableFile>> polled(EngineResult<std::unique_ptr<ReadableFile>> opened);

    std::shared_ptr<FileOps> inner_;
    Poll& poll_;
    size_t most_per_read_;
};

}  // namespace tessarune::python
