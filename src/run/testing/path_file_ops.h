// PathFileOps: a base for test doubles whose directory operations go through the path
// operations on dir.path() + "/" + name, so that a double sees, and can fault, every file by
// its full path. Its OpenDir holds no descriptor.
#pragma once

#include <memory>
#include <string>

#include "run/file_ops.h"

namespace tessarune::run_testing {

class PathFileOps : public FileOps {
public:
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

}  // namespace tessarune::run_testing
