// SpillDir: the owning handle of a sorter's private spill directory.
//
// The directory is "tessarune-" plus 6 random characters inside the base directory, made
// lazily at the first spill; run files "run-000000", "run-000001", ... are the only entries
// ever made in it, each through the directory held open (see OpenDir). Dropping the handle
// removes the directory and everything in it, ignoring errors; except in a process forked
// from the one that made it, where dropping it touches nothing on disk (the directory is
// the parent's).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "base/expected.h"
#include "run/file_ops.h"

namespace tessarune {

class SpillDir {
public:
    SpillDir(std::shared_ptr<FileOps> ops, std::unique_ptr<OpenDir> dir);
    ~SpillDir();
    SpillDir(const SpillDir&) = delete;
    SpillDir& operator=(const SpillDir&) = delete;

    const std::string& path() const { return dir_->path(); }

    // The file operations on a run by its name in this directory. Errors come bare from the
    // FileOps; callers name the file.
    EngineResult<std::unique_ptr<WritableFile>> create_file(const std::string& name) const;
    EngineResult<std::unique_ptr<ReadableFile>> open_file(const std::string& name) const;
    EngineStatus remove_file(const std::string& name) const;

private:
    std::shared_ptr<FileOps> ops_;
    std::unique_ptr<OpenDir> dir_;  // path absolute
    pid_t creator_;
};

// The last component of a path: a run's name in its directory.
std::string file_name_of(const std::string& path);

// Makes a new directory with a fresh name in base, an absolute path (mkdtemp). Errors are
// worded "<base>: <system message> at path \"<attempted path>\"" (or "... too many temporary
// files exist at path \"<base>\"") and keep the underlying kind.
EngineResult<std::unique_ptr<SpillDir>> create_spill_dir(const std::shared_ptr<FileOps>& ops,
                                                      const std::string& base);

// Proves that base is a directory in which a spill directory can be made (makes one and
// removes it at once), and returns it made absolute. Errors name base as given.
EngineResult<std::string> check_spill_base(const std::shared_ptr<FileOps>& ops, const std::string& base);

// "run-" and the counter, zero-padded to at least 6 digits.
std::string run_file_name(uint64_t counter);

}  // namespace tessarune
