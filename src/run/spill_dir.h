// SpillDir: the owning handle of a sorter's private spill directory.
//
// The directory is "tessarune-" plus 6 random characters inside the base directory, made
// lazily at the first spill; run files "run-000000", "run-000001", ... are the only entries
// ever made in it. Dropping the handle removes the directory and everything in it, ignoring
// errors.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/expected.h"
#include "run/file_ops.h"

namespace tessarune {

class SpillDir {
public:
    SpillDir(std::shared_ptr<FileOps> ops, std::string path);
    ~SpillDir();  // removes the directory tree, ignoring errors
    SpillDir(const SpillDir&) = delete;
    SpillDir& operator=(const SpillDir&) = delete;

    const std::string& path() const { return path_; }

private:
    std::shared_ptr<FileOps> ops_;
    std::string path_;  // absolute
};

// Makes a new directory with a fresh name in base. Errors are worded
// "<base>: <system message> at path \"<attempted path>\"" (or "... too many temporary files
// exist at path \"<absolute base>\"") and keep the underlying kind.
IoResult<std::unique_ptr<SpillDir>> create_spill_dir(const std::shared_ptr<FileOps>& ops,
                                                      const std::string& base);

// Proves that base is a directory in which a spill directory can be made (makes one and
// removes it at once).
IoStatus check_spill_base(const std::shared_ptr<FileOps>& ops, const std::string& base);

// "run-" and the counter, zero-padded to at least 6 digits.
std::string run_file_name(uint64_t counter);

}  // namespace tessarune
