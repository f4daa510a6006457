// ForwardingFileOps: a FileOps that passes every call to another one. A FileOps that adds one
// concern (recording what it makes, polling before reads) derives from it and overrides only
// the calls that concern touches, so that an operation added to FileOps later reaches the
// inner one without every such wrapper having to learn of it.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "run/file_ops.h"

namespace tessarune {

class ForwardingFileOps : public FileOps {
public:
    explicit ForwardingFileOps(std::shared_ptr<FileOps> inner) : inner_(std::move(inner)) {}

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
    EngineResult<std::unique_ptr<ReadableFile>> open_input(const std::string& path) override {
        return inner_->open_input(path);
    }
    EngineResult<std::unique_ptr<ReadableFile>> standard_input() override { return inner_->standard_input(); }

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
    EngineResult<std::unique_ptr<WritableFile>> create_new_file_at(const std::string& path) override {
        return inner_->create_new_file_at(path);
    }
    EngineStatus change_mode(const std::string& path, uint32_t mode) override {
        return inner_->change_mode(path, mode);
    }
    EngineStatus rename_path(const std::string& from, const std::string& to) override {
        return inner_->rename_path(from, to);
    }
    EngineStatus remove_path(const std::string& path) override { return inner_->remove_path(path); }
    std::unique_ptr<WritableFile> standard_output() override { return inner_->standard_output(); }

protected:
    FileOps& inner() { return *inner_; }

private:
    std::shared_ptr<FileOps> inner_;
};

}  // namespace tessarune
