// RecordingFileOps: a FileOps that passes every call to another one and keeps each directory
// made by make_temp_dir (a spill directory) in the cleanup record until it is removed, so
// that a stop signal during a sort removes the spill directory too. The command wraps
// FileOps::system() in it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "job/cleanup_record.h"
#include "run/forwarding_file_ops.h"

namespace tessarune::job {

class RecordingFileOps final : public ForwardingFileOps {
public:
    explicit RecordingFileOps(std::shared_ptr<FileOps> inner) : ForwardingFileOps(std::move(inner)) {}

    // Fails, making nothing, when the cleanup record is full.
    EngineStatus make_temp_dir(std::string& path) override;
    void remove_empty_dir(const std::string& path) override;
    void remove_dir(std::unique_ptr<OpenDir> dir) override;

private:
    // Releases the entry of a directory just removed.
    void forget(const std::string& path);

    std::mutex mutex_;
    std::map<std::string, CleanupEntry> made_;  // by path
};

}  // namespace tessarune::job
