// PathFileOps: a FileOps for tests that works by full paths. Its directory operations go
// through the path operations on dir.path() + "/" + name, so that a double sees, and can
// fault, every file by its full path. Its OpenDir holds no descriptor.
#pragma once

#include <memory>
#include <string>

#include "run/file_ops.h"

namespace tessarune::run_testing {

class PathFileOps : public FileOps {
public:
    // Creates a new file for writing only; fails with AlreadyExists if anything is at path.
    virtual EngineResult<std::unique_ptr<WritableFile>> create_new_file(const std::string& path) = 0;
    virtual EngineResult<std::unique_ptr<ReadableFile>> open_for_read(const std::string& path) = 0;
    virtual EngineStatus remove_file(const std::string& path) = 0;
    // Removes a directory and everything in it; best effort, errors ignored.
    virtual void remove_tree(const std::string& path) = 0;

    void remove_empty_dir(const std::string& path) override { remove_tree(path); }
    EngineResult<std::unique_ptr<OpenDir>> open_dir(const std::string& path) override {
        return std::make_unique<OpenDir>(path);
    }
    EngineResult<std::unique_ptr<WritableFile>> create_new_file_in(OpenDir& dir,
                                                               const std::string& name) override {
        return create_new_file(dir.path() + "/" + name);
    }
    EngineResult<std::unique_ptr<ReadableFile>> open_for_read_in(OpenDir& dir,
                                                             const std::string& name) override {
        return open_for_read(dir.path() + "/" + name);
    }
    EngineStatus remove_file_in(OpenDir& dir, const std::string& name) override {
        return remove_file(dir.path() + "/" + name);
    }
    void remove_dir(std::unique_ptr<OpenDir> dir) override {
        if (dir) remove_tree(dir->path());
    }
};

// The real file system by full paths: each path operation holds the directory the path
// names a file in open for the call, and works through FileOps::system().
const std::shared_ptr<PathFileOps>& system_path_ops();

}  // namespace tessarune::run_testing
