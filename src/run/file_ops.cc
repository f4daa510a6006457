#include "run/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

namespace tessarune {
namespace {

Unexpected<EngineError> last_error() { return Unexpected(EngineError::from_errno(errno)); }

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

class PosixWritableFile final : public WritableFile {
public:
    explicit PosixWritableFile(int fd) : fd_(fd) {}
    EngineResult<size_t> write(const uint8_t* data, size_t n) override {
        const ssize_t r = ::write(fd_.get(), data, n);
        if (r < 0) return last_error();
        return static_cast<size_t>(r);
    }
    // A pipe or a device refuses both calls, which is as good as done.
    void write_behind(uint64_t offset, uint64_t length, bool settle) override {
        const unsigned flags = settle ? SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER
                                      : SYNC_FILE_RANGE_WRITE;
        if (::sync_file_range(fd_.get(), static_cast<off_t>(offset), static_cast<off_t>(length), flags) == 0 && settle) {
            ::posix_fadvise(fd_.get(), static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
        }
    }
    EngineStatus close() override {
        const int fd = fd_.release();
        // On Linux the descriptor is gone even when close reports EINTR; nothing was lost.
        if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return last_error();
        return {};
    }

private:
    Fd fd_;
};

class PosixReadableFile final : public ReadableFile {
public:
    explicit PosixReadableFile(int fd) : fd_(fd) {}
    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        const ssize_t r = ::read(fd_.get(), data, n);
        if (r < 0) return last_error();
        return static_cast<size_t>(r);
    }

    // A descriptor open for reading only, or a file system without holes, refuses; then
    // nothing more is tried.
    void drop_before(uint64_t offset) override {
        const uint64_t end = offset / kPage * kPage;
        if (!can_drop_ || end <= dropped_) return;
        can_drop_ = ::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                static_cast<off_t>(dropped_), static_cast<off_t>(end - dropped_)) == 0;
        if (can_drop_) dropped_ = end;
    }

    void uncache_before(uint64_t offset) override {
        if (offset <= uncached_) return;
        ::posix_fadvise(fd_.get(), static_cast<off_t>(uncached_), static_cast<off_t>(offset - uncached_),
                        POSIX_FADV_DONTNEED);
        uncached_ = offset;
    }

private:
    static constexpr uint64_t kPage = 4096;
    Fd fd_;
    uint64_t dropped_ = 0;
    uint64_t uncached_ = 0;
    bool can_drop_ = true;
};

class PosixDir final : public OpenDir {
public:
    PosixDir(std::string path, int fd) : OpenDir(std::move(path)), fd(fd) {}
    Fd fd;
};

EngineResult<std::unique_ptr<WritableFile>> writable(int fd) {
    if (fd < 0) return last_error();
    return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(fd));
}

constexpr int kOpenDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Removes everything below the directory open as dirfd (and closes it); errors ignored.
void remove_children(int dirfd) {
    DIR* dir = ::fdopendir(dirfd);
    if (dir == nullptr) {
        ::close(dirfd);
        return;
    }
    std::vector<std::string> subdirs;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (::unlinkat(dirfd, name.c_str(), 0) != 0 && (errno == EISDIR || errno == EPERM)) {
            subdirs.push_back(std::move(name));
        }
    }
    for (const std::string& name : subdirs) {
        const int fd = ::openat(dirfd, name.c_str(), kOpenDirFlags);
        if (fd >= 0) remove_children(fd);
        ::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
    }
    ::closedir(dir);
}

class PosixFileOps final : public FileOps {
public:
    EngineResult<bool> is_directory(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return last_error();
        return S_ISDIR(st.st_mode);
    }

    EngineResult<std::string> current_dir() override {
        const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
        if (!cwd) return last_error();
        return std::string(cwd.get());
    }

    EngineStatus make_temp_dir(std::string& path) override {
        if (::mkdtemp(path.data()) == nullptr) return last_error();
        return {};
    }

    void remove_empty_dir(const std::string& path) override { ::rmdir(path.c_str()); }

    EngineResult<std::unique_ptr<OpenDir>> open_dir(const std::string& path) override {
        const int fd = ::open(path.c_str(), kOpenDirFlags);
        if (fd < 0) return last_error();
        return std::unique_ptr<OpenDir>(std::make_unique<PosixDir>(path, fd));
    }

    EngineResult<std::unique_ptr<WritableFile>> create_new_file_in(OpenDir& dir,
                                                               const std::string& name) override {
        return writable(::openat(fd_of(dir), name.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    }

    EngineResult<std::unique_ptr<ReadableFile>> open_for_read_in(OpenDir& dir,
                                                             const std::string& name) override {
        int fd = ::openat(fd_of(dir), name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            fd = ::openat(fd_of(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) return last_error();
        return std::unique_ptr<ReadableFile>(std::make_unique<PosixReadableFile>(fd));
    }

    EngineStatus remove_file_in(OpenDir& dir, const std::string& name) override {
        if (::unlinkat(fd_of(dir), name.c_str(), 0) != 0) return last_error();
        return {};
    }

    void remove_dir(std::unique_ptr<OpenDir> dir) override {
        if (!dir) return;
        remove_children(static_cast<PosixDir&>(*dir).fd.release());  // no new descriptor needed
        ::rmdir(dir->path().c_str());
    }

private:
    // Every OpenDir this FileOps hands out is a PosixDir.
    static int fd_of(OpenDir& dir) { return static_cast<PosixDir&>(dir).fd.get(); }
};

}  // namespace

EngineResult<std::unique_ptr<WritableFile>> create_new_file(const std::string& path) {
    return writable(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
}

EngineResult<std::unique_ptr<WritableFile>> FileOps::create_new_file_at(const std::string& path) {
    return create_new_file(path);
}

uint64_t FileOps::free_descriptors() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) return 0;
    // The listing's own descriptor is among the entries, and is not counted.
    uint64_t in_use = 0;
    while (dirent* e = ::readdir(fds)) {
        if (e->d_name[0] != '.') ++in_use;
    }
    ::closedir(fds);
    in_use = in_use > 0 ? in_use - 1 : 0;
    if (limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    const uint64_t soft = static_cast<uint64_t>(limit.rlim_cur);
    return soft > in_use ? soft - in_use : 0;
}

// --- files outside a spill directory: inputs ---
namespace {

EngineResult<FileOps::InputStatus> input_status_of(const struct stat& st) {
    FileOps::InputStatus status;
    status.directory = S_ISDIR(st.st_mode);
    status.regular = S_ISREG(st.st_mode);
    status.size = status.regular ? static_cast<uint64_t>(st.st_size) : 0;
    status.device = static_cast<uint64_t>(st.st_dev);
    status.inode = static_cast<uint64_t>(st.st_ino);
    return status;
}

// Standard input belongs to the process, not to the job that reads it.
class BorrowedReadableFile final : public ReadableFile {
public:
    explicit BorrowedReadableFile(int fd) : fd_(fd) {}
    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        const ssize_t r = ::read(fd_, data, n);
        if (r < 0) return last_error();
        return static_cast<size_t>(r);
    }

private:
    int fd_;
};

}  // namespace

EngineResult<FileOps::InputStatus> FileOps::input_status(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return last_error();
    if (!S_ISDIR(st.st_mode) && ::access(path.c_str(), R_OK) != 0) return last_error();
    return input_status_of(st);
}

EngineResult<FileOps::InputStatus> FileOps::standard_input_status() {
    struct stat st;
    if (::fstat(STDIN_FILENO, &st) != 0) return last_error();
    return input_status_of(st);
}

EngineResult<std::unique_ptr<ReadableFile>> FileOps::open_input(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return last_error();
    return std::unique_ptr<ReadableFile>(std::make_unique<PosixReadableFile>(fd));
}

EngineResult<std::unique_ptr<ReadableFile>> FileOps::standard_input() {
    return std::unique_ptr<ReadableFile>(std::make_unique<BorrowedReadableFile>(STDIN_FILENO));
}
// --- end of inputs ---

// --- files outside a spill directory: output targets ---
namespace {

FileOps::PathStatus::Kind kind_of(mode_t mode) {
    using Kind = FileOps::PathStatus::Kind;
    if (S_ISREG(mode)) return Kind::Regular;
    if (S_ISDIR(mode)) return Kind::Directory;
    if (S_ISFIFO(mode)) return Kind::Fifo;
    if (S_ISCHR(mode)) return Kind::CharDevice;
    if (S_ISBLK(mode)) return Kind::BlockDevice;
    if (S_ISSOCK(mode)) return Kind::Socket;
    if (S_ISLNK(mode)) return Kind::Link;
    return Kind::Other;
}

// Standard output belongs to the process: the job writes it but never closes it.
class BorrowedWritableFile final : public WritableFile {
public:
    explicit BorrowedWritableFile(int fd) : fd_(fd) {}
    EngineResult<size_t> write(const uint8_t* data, size_t n) override {
        const ssize_t r = ::write(fd_, data, n);
        if (r < 0) return last_error();
        return static_cast<size_t>(r);
    }
    EngineStatus close() override { return {}; }

private:
    int fd_;
};

}  // namespace

EngineResult<FileOps::PathStatus> FileOps::path_status(const std::string& path, bool follow_links) {
    struct stat st;
    if ((follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return last_error();
    PathStatus status;
    status.kind = kind_of(st.st_mode);
    status.mode = static_cast<uint32_t>(st.st_mode & 07777);
    status.owner = static_cast<uint32_t>(st.st_uid);
    status.group = static_cast<uint32_t>(st.st_gid);
    status.links = static_cast<uint64_t>(st.st_nlink);
    status.device = static_cast<uint64_t>(st.st_dev);
    status.inode = static_cast<uint64_t>(st.st_ino);
    return status;
}

EngineResult<std::string> FileOps::real_path(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) return last_error();
    return std::string(resolved.get());
}

EngineStatus FileOps::check_access(const std::string& path, int how) {
    if (::faccessat(AT_FDCWD, path.c_str(), how, AT_EACCESS) != 0) return last_error();
    return {};
}

bool FileOps::has_extended_attributes(const std::string& path) {
    const ssize_t size = ::listxattr(path.c_str(), nullptr, 0);
    if (size < 0) return errno != ENOTSUP;
    return size > 0;
}

uint32_t FileOps::creation_mask() {
    // Reading it through umask() would set it too, for a moment, under every other thread.
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char text[4096];
        const ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        if (n > 0) {
            text[n] = '\0';
            if (const char* line = std::strstr(text, "\nUmask:")) {
                // from_chars, not strtoul: a wheel built here must not need the newest C library.
                const char* digits = line + 7;
                while (*digits == ' ' || *digits == '\t') ++digits;
                uint32_t mask = 022;
                std::from_chars(digits, text + n, mask, 8);
                return mask & 0777;
            }
        }
    }
    return 022;
}

EngineResult<std::unique_ptr<WritableFile>> FileOps::open_for_write(const std::string& path) {
    return writable(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666));
}

EngineResult<std::unique_ptr<WritableFile>> FileOps::create_private_file(const std::string& path) {
    return writable(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600));
}

EngineStatus FileOps::change_mode(const std::string& path, uint32_t mode) {
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) return last_error();
    return {};
}

EngineStatus FileOps::rename_path(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return last_error();
    return {};
}

EngineStatus FileOps::remove_path(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return last_error();
    return {};
}

std::unique_ptr<WritableFile> FileOps::standard_output() {
    return std::make_unique<BorrowedWritableFile>(STDOUT_FILENO);
}
// --- end of output targets ---

const std::shared_ptr<FileOps>& FileOps::system() {
    static const std::shared_ptr<FileOps> ops = std::make_shared<PosixFileOps>();
    return ops;
}

}  // namespace tessarune
