#include "run/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace tessarune {
namespace {

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) {}
    ~FdCloser() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdCloser(const FdCloser&) = delete;
    FdCloser& operator=(const FdCloser&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

class PosixWritableFile final : public WritableFile {
public:
    explicit PosixWritableFile(int fd) : fd_(fd) {}
    EngineResult<size_t> write(const uint8_t* data, size_t n) override {
        ssize_t r = ::write(fd_.get(), data, n);
        if (r < 0) return Unexpected(EngineError::from_errno(errno));
        return static_cast<size_t>(r);
    }
    EngineStatus close() override {
        const int fd = fd_.release();
        // On Linux the descriptor is gone even when close reports EINTR; nothing was lost.
        if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
            return Unexpected(EngineError::from_errno(errno));
        }
        return {};
    }

private:
    FdCloser fd_;
};

class PosixDir final : public OpenDir {
public:
    PosixDir(std::string path, int fd) : OpenDir(std::move(path)), fd_(fd) {}
    int fd() const { return fd_.get(); }
    int release() { return fd_.release(); }

private:
    FdCloser fd_;
};

class PosixReadableFile final : public ReadableFile {
public:
    explicit PosixReadableFile(int fd) : fd_(fd) {}
    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        ssize_t r = ::read(fd_.get(), data, n);
        if (r < 0) return Unexpected(EngineError::from_errno(errno));
        return static_cast<size_t>(r);
    }

    // Punches whole pages out of the file; a descriptor open for reading only, or a file
    // system without holes, refuses, and then nothing more is tried.
    void drop_before(uint64_t offset) override {
        const uint64_t end = offset / kPage * kPage;
        if (!can_drop_ || end <= dropped_) return;
        if (::fallocate(fd_.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                        static_cast<off_t>(dropped_), static_cast<off_t>(end - dropped_)) != 0) {
            can_drop_ = false;
            return;
        }
        dropped_ = end;
    }

private:
    static constexpr uint64_t kPage = 4096;
    FdCloser fd_;
    uint64_t dropped_ = 0;
    bool can_drop_ = true;
};

// Removes everything below the directory open as dirfd, then nothing else; errors ignored.
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
        int fd = ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) remove_children(fd);
        ::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR);
    }
    ::closedir(dir);
}

class PosixFileOps final : public FileOps {
public:
    EngineResult<bool> is_directory(const std::string& path) override {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return Unexpected(EngineError::from_errno(errno));
        return S_ISDIR(st.st_mode);
    }

    EngineResult<std::string> current_dir() override {
        std::vector<char> buf(PATH_MAX);
        while (::getcwd(buf.data(), buf.size()) == nullptr) {
            if (errno != ERANGE) return Unexpected(EngineError::from_errno(errno));
            buf.resize(buf.size() * 2);
        }
        return std::string(buf.data());
    }

    EngineStatus make_dir(const std::string& path) override {
        if (::mkdir(path.c_str(), 0700) != 0) return Unexpected(EngineError::from_errno(errno));
        return {};
    }

    EngineResult<std::unique_ptr<WritableFile>> create_new_file(const std::string& path) override {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return Unexpected(EngineError::from_errno(errno));
        return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(fd));
    }

    EngineResult<std::unique_ptr<ReadableFile>> open_for_read(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Unexpected(EngineError::from_errno(errno));
        return std::unique_ptr<ReadableFile>(std::make_unique<PosixReadableFile>(fd));
    }

    EngineStatus remove_file(const std::string& path) override {
        if (::unlink(path.c_str()) != 0) return Unexpected(EngineError::from_errno(errno));
        return {};
    }

    void remove_tree(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) remove_children(fd);
        ::rmdir(path.c_str());
    }

    EngineResult<std::unique_ptr<OpenDir>> open_dir(const std::string& path) override {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return Unexpected(EngineError::from_errno(errno));
        return std::unique_ptr<OpenDir>(std::make_unique<PosixDir>(path, fd));
    }

    EngineResult<std::unique_ptr<WritableFile>> create_new_file_in(OpenDir& dir,
                                                               const std::string& name) override {
        int fd = ::openat(posix(dir).fd(), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return Unexpected(EngineError::from_errno(errno));
        return std::unique_ptr<WritableFile>(std::make_unique<PosixWritableFile>(fd));
    }

    EngineResult<std::unique_ptr<ReadableFile>> open_for_read_in(OpenDir& dir,
                                                             const std::string& name) override {
        int fd = ::openat(posix(dir).fd(), name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
            fd = ::openat(posix(dir).fd(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (fd < 0) return Unexpected(EngineError::from_errno(errno));
        return std::unique_ptr<ReadableFile>(std::make_unique<PosixReadableFile>(fd));
    }

    EngineStatus remove_file_in(OpenDir& dir, const std::string& name) override {
        if (::unlinkat(posix(dir).fd(), name.c_str(), 0) != 0) {
            return Unexpected(EngineError::from_errno(errno));
        }
        return {};
    }

    void remove_dir(std::unique_ptr<OpenDir> dir) override {
        if (!dir) return;
        const std::string path = dir->path();
        auto* held = dynamic_cast<PosixDir*>(dir.get());
        if (held != nullptr && held->fd() >= 0) {
            remove_children(held->release());  // takes the descriptor over: none new needed
        } else {
            remove_tree(path);
            return;
        }
        ::rmdir(path.c_str());
    }

    EngineStatus random_bytes(uint8_t* out, size_t n) override {
        size_t done = 0;
        while (done < n) {
            ssize_t r = ::getrandom(out + done, n - done, 0);
            if (r < 0) {
                if (errno == EINTR) continue;
                return Unexpected(EngineError::from_errno(errno));
            }
            done += static_cast<size_t>(r);
        }
        return {};
    }

    // Every OpenDir this FileOps hands out is a PosixDir.
    static PosixDir& posix(OpenDir& dir) { return static_cast<PosixDir&>(dir); }
};

}  // namespace

EngineResult<std::unique_ptr<OpenDir>> FileOps::open_dir(const std::string& path) {
    return std::make_unique<OpenDir>(path);
}

EngineResult<std::unique_ptr<WritableFile>> FileOps::create_new_file_in(OpenDir& dir,
                                                                    const std::string& name) {
    return create_new_file(dir.path() + "/" + name);
}

EngineResult<std::unique_ptr<ReadableFile>> FileOps::open_for_read_in(OpenDir& dir,
                                                                  const std::string& name) {
    return open_for_read(dir.path() + "/" + name);
}

EngineStatus FileOps::remove_file_in(OpenDir& dir, const std::string& name) {
    return remove_file(dir.path() + "/" + name);
}

void FileOps::remove_dir(std::unique_ptr<OpenDir> dir) {
    if (dir) remove_tree(dir->path());
}

uint64_t FileOps::free_descriptors() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    // Counting the entries of /proc/self/fd takes a descriptor itself, which is counted too.
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) return 0;
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

const std::shared_ptr<FileOps>& FileOps::system() {
    static const std::shared_ptr<FileOps> ops = std::make_shared<PosixFileOps>();
    return ops;
}

}  // namespace tessarune
