// The file operations of the engine, behind one small interface.
//
// Everything the spill storage does to the file system goes through a FileOps, so that tests
// can put a fault-injecting implementation in its place (a write that fails with ENOSPC at
// the n-th call, a short read, a vanished file). FileOps::system() is the real one.
//
// Errors are returned bare, as the operating system gives them ("No such file or directory
// (os error 2)"); the callers add the path or other context. A call interrupted by a signal
// returns kind Interrupted and the caller retries it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/expected.h"
#include "base/file_handles.h"

namespace tessarune {

// A directory held open. Files made, opened and removed by name through it stay inside that
// very directory even if its path is renamed or swapped meanwhile, and removing what is in it
// needs no further descriptor. The real file system's holds a descriptor besides the path.
class OpenDir {
public:
    explicit OpenDir(std::string path) : path_(std::move(path)) {}
    virtual ~OpenDir() = default;
    OpenDir(const OpenDir&) = delete;
    OpenDir& operator=(const OpenDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class FileOps {
public:
    virtual ~FileOps() = default;

    // Follows symbolic links; an error when path cannot be queried (it does not exist...).
    virtual EngineResult<bool> is_directory(const std::string& path) = 0;
    virtual EngineResult<std::string> current_dir() = 0;
    // Makes a new directory private to its owner, as mkdtemp does: the last six characters
    // of path, "XXXXXX", become those of a name that did not exist. On failure path holds the
    // name last tried.
    virtual EngineStatus make_temp_dir(std::string& path) = 0;
    // Removes an empty directory that could not be held open; best effort, errors ignored.
    virtual void remove_empty_dir(const std::string& path) = 0;

    // Files are made, opened and removed only inside a directory held open, relative to its
    // descriptor. The files opened for reading are the sorter's own runs, each read once:
    // they are opened for writing as well where that is allowed, so that drop_before can
    // free what has been read. A new file is for writing only and fails with AlreadyExists
    // if anything has its name.
    virtual EngineResult<std::unique_ptr<OpenDir>> open_dir(const std::string& path) = 0;
    virtual EngineResult<std::unique_ptr<WritableFile>> create_new_file_in(OpenDir& dir,
                                                                       const std::string& name) = 0;
    virtual EngineResult<std::unique_ptr<ReadableFile>> open_for_read_in(OpenDir& dir,
                                                                     const std::string& name) = 0;
    virtual EngineStatus remove_file_in(OpenDir& dir, const std::string& name) = 0;
    // Removes everything in dir, then the directory itself; best effort, errors ignored.
    // Needs no free descriptor for the plain files in it.
    virtual void remove_dir(std::unique_ptr<OpenDir> dir) = 0;

    // How many more descriptors this process can open now: the soft limit less those in use
    // (0 when that cannot be found out, which happens when none is free).
    virtual uint64_t free_descriptors();

    // --- files outside a spill directory: inputs ---
    // The job's input files, named by the user. The defaults work on the real file system,
    // so that a test double overrides only what it fakes.
    struct InputStatus {
        bool directory = false;
        bool regular = false;
        uint64_t size = 0;  // a regular file's
        uint64_t device = 0;
        uint64_t inode = 0;
    };
    // Follows symbolic links. A file this process may not read fails with PermissionDenied.
    virtual EngineResult<InputStatus> input_status(const std::string& path);
    virtual EngineResult<InputStatus> standard_input_status();
    virtual EngineResult<std::unique_ptr<ReadableFile>> open_input(const std::string& path);
    // Descriptor 0, left open when the file is dropped.
    virtual EngineResult<std::unique_ptr<ReadableFile>> standard_input();
    // --- end of inputs ---

    // --- files outside a spill directory: output targets ---
    // What the -o target needs: to look at the path it names, and to write it in place or
    // replace it. The defaults work on the real file system, as for the inputs.
    struct PathStatus {
        enum class Kind : uint8_t { Regular, Directory, Fifo, CharDevice, BlockDevice, Socket, Link, Other };
        Kind kind = Kind::Other;
        uint32_t mode = 0;  // the permission, set-id and sticky bits (07777)
        uint32_t owner = 0;
        uint32_t group = 0;
        uint64_t links = 0;
        uint64_t device = 0;
        uint64_t inode = 0;
    };
    // stat, or lstat when follow_links is false (a dangling link is then a Link).
    virtual EngineResult<PathStatus> path_status(const std::string& path, bool follow_links);
    // The absolute path without symbolic links, "." or ".."; fails if it does not exist.
    virtual EngineResult<std::string> real_path(const std::string& path);
    // access() with the effective ids; `how` is W_OK, X_OK... or'ed.
    virtual EngineStatus check_access(const std::string& path, int how);
    // Whether the file has any extended attribute (an ACL is one). True when that cannot be
    // found out, false where the file system has none.
    virtual bool has_extended_attributes(const std::string& path);
    // The process's file mode creation mask.
    virtual uint32_t creation_mask();
    // Opens a file for writing, truncating it (created with 0666 less the mask if it is
    // missing: a dangling link's target).
    virtual EngineResult<std::unique_ptr<WritableFile>> open_for_write(const std::string& path);
    // A new file only the owner may read or write; fails with AlreadyExists if anything is at path.
    virtual EngineResult<std::unique_ptr<WritableFile>> create_private_file(const std::string& path);
    // A new file for writing only, outside any spill directory (the cluster sort's bucket
    // files, read back by other processes); fails with AlreadyExists if anything is at path.
    virtual EngineResult<std::unique_ptr<WritableFile>> create_new_file_at(const std::string& path);
    virtual EngineStatus change_mode(const std::string& path, uint32_t mode);
    // Replaces whatever is at `to` at once.
    virtual EngineStatus rename_path(const std::string& from, const std::string& to);
    virtual EngineStatus remove_path(const std::string& path);
    // Descriptor 1, left open when the file is closed or dropped.
    virtual std::unique_ptr<WritableFile> standard_output();
    // --- end of output targets ---

    static const std::shared_ptr<FileOps>& system();
};

// A new file at path for writing only, made by the real file system (fails with AlreadyExists
// if anything is at path): for the files written outside a spill directory.
EngineResult<std::unique_ptr<WritableFile>> create_new_file(const std::string& path);

}  // namespace tessarune
