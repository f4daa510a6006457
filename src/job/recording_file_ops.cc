#include "job/recording_file_ops.h"

namespace tessarune::job {

EngineStatus RecordingFileOps::make_temp_dir(std::string& path) {
    // Blocked from before the directory exists until it is recorded: no signal in between.
    const StopSignalsBlocked blocked;
    CleanupEntry entry = TR_TRY(reserve_cleanup(CleanupKind::Directory));
    TR_RETURN_IF_ERROR(inner().make_temp_dir(path));
    if (EngineStatus recorded = entry.set_path(path); !recorded) {
        inner().remove_empty_dir(path);
        return recorded;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    made_[path] = std::move(entry);
    return {};
}

void RecordingFileOps::remove_empty_dir(const std::string& path) {
    inner().remove_empty_dir(path);
    forget(path);
}

void RecordingFileOps::remove_dir(std::unique_ptr<OpenDir> dir) {
    if (!dir) return;
    const std::string path = dir->path();
    inner().remove_dir(std::move(dir));
    forget(path);
}

void RecordingFileOps::forget(const std::string& path) {
    CleanupEntry entry;  // released outside the lock
    const std::lock_guard<std::mutex> lock(mutex_);
    if (auto it = made_.find(path); it != made_.end()) {
        entry = std::move(it->second);
        made_.erase(it);
    }
}

}  // namespace tessarune::job
