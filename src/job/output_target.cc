#include "job/output_target.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include <vector>

#include "base/paths.h"
#include "job/cleanup_record.h"

namespace tessarune::job {
namespace {

using Kind = FileOps::PathStatus::Kind;

// The system's own words for an error ("No space left on device"), as messages quote them.
std::string reason_of(const EngineError& e) {
    if (e.os_code() == 0) return e.message();
    char buf[256];
    return strerror_r(e.os_code(), buf, sizeof buf);  // GNU: the text, in buf or not
}

// "WHAT: NAME: REASON", keeping the cause's kind and code.
EngineError failure(const char* what, const std::string& name, const EngineError& cause) {
    EngineError e = cause.with_message(std::string(what) + ": " + name + ": " + reason_of(cause));
    e.set_path(name);
    return e;
}

Unexpected<EngineError> open_failed(const std::string& name, const EngineError& cause) {
    return Unexpected(failure("open failed", name, cause));
}

EngineStatus write_all(WritableFile& file, const std::string& name, Bytes data) {
    const uint8_t* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        EngineResult<size_t> written = file.write(p, left);
        if (!written) {
            if (written.error().kind() == ErrorKind::Interrupted) continue;
            return Unexpected(failure("write failed", name, written.error()));
        }
        if (*written == 0) {
            EngineError e(ErrorKind::WriteZero, "write failed: " + name + ": nothing was written");
            e.set_path(name);
            return Unexpected(std::move(e));
        }
        p += *written;
        left -= *written;
    }
    return {};
}

class StandardOutputTarget final : public OutputTarget {
public:
    explicit StandardOutputTarget(std::shared_ptr<FileOps> ops) : file_(ops->standard_output()) {}
    const std::string& name() const override { return name_; }
    EngineStatus open() override { return {}; }
    EngineStatus write(Bytes data) override { return write_all(*file_, name_, data); }
    EngineStatus commit() override { return {}; }
    void discard() override {}

private:
    std::string name_ = "standard output";
    std::unique_ptr<WritableFile> file_;
};

// A file written where it is, opened (and a regular file truncated) only by open().
class InPlaceTarget final : public OutputTarget {
public:
    InPlaceTarget(std::shared_ptr<FileOps> ops, std::string name, std::string path)
        : ops_(std::move(ops)), name_(std::move(name)), path_(std::move(path)) {}
    ~InPlaceTarget() override { discard(); }

    const std::string& name() const override { return name_; }
    EngineStatus open() override {
        if (file_) return {};
        EngineResult<std::unique_ptr<WritableFile>> opened = ops_->open_for_write(path_);
        if (!opened) return open_failed(name_, opened.error());
        file_ = std::move(opened).value();
        return {};
    }
    EngineStatus write(Bytes data) override {
        TR_CHECK(file_ != nullptr);
        return write_all(*file_, name_, data);
    }
    EngineStatus commit() override {
        if (!file_) return {};
        const EngineStatus closed = std::exchange(file_, nullptr)->close();
        if (!closed) return Unexpected(failure("close failed", name_, closed.error()));
        return {};
    }
    void discard() override { file_.reset(); }

private:
    std::shared_ptr<FileOps> ops_;
    std::string name_;
    std::string path_;  // resolved
    std::unique_ptr<WritableFile> file_;
};

// A regular file made anew beside the target, private while written, given the target's
// mode and renamed over it by commit().
class ReplacingTarget final : public OutputTarget {
public:
    ReplacingTarget(std::shared_ptr<FileOps> ops, std::string name, std::string path, uint32_t mode,
                    std::string temp, std::unique_ptr<WritableFile> file, CleanupEntry entry)
        : ops_(std::move(ops)), name_(std::move(name)), path_(std::move(path)), mode_(mode),
          temp_(std::move(temp)), file_(std::move(file)), entry_(std::move(entry)) {}
    ~ReplacingTarget() override { discard(); }

    const std::string& name() const override { return name_; }
    EngineStatus open() override { return {}; }
    EngineStatus write(Bytes data) override {
        TR_CHECK(file_ != nullptr);
        return write_all(*file_, name_, data);
    }
    EngineStatus commit() override {
        TR_CHECK(file_ != nullptr);
        EngineStatus done = std::exchange(file_, nullptr)->close();
        if (!done) return fail("close failed", done.error());
        if (done = ops_->change_mode(temp_, mode_); !done) return fail("write failed", done.error());
        if (done = ops_->rename_path(temp_, path_); !done) return fail("write failed", done.error());
        temp_.clear();
        entry_.release();
        return {};
    }
    void discard() override {
        file_.reset();
        if (temp_.empty()) return;
        (void)ops_->remove_path(temp_);
        temp_.clear();
        entry_.release();  // only once it is gone
    }

private:
    Unexpected<EngineError> fail(const char* what, const EngineError& cause) {
        discard();
        return Unexpected(failure(what, name_, cause));
    }

    std::shared_ptr<FileOps> ops_;
    std::string name_;
    std::string path_;  // resolved
    uint32_t mode_;
    std::string temp_;  // empty once renamed or removed
    std::unique_ptr<WritableFile> file_;
    CleanupEntry entry_;
};

std::string parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Six characters for a temporary name, from the kernel's random source when it answers.
std::string random_suffix(int attempt) {
    static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    uint8_t bytes[6];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t mix = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^
                       static_cast<uint64_t>(::getpid()) << 20 ^ static_cast<uint64_t>(attempt);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(mix >>= 8);
    }
    std::string suffix;
    for (const uint8_t b : bytes) suffix += kChars[b % (sizeof kChars - 1)];
    return suffix;
}

// The replacement of path: a new private file beside it, recorded for removal on a signal.
EngineResult<std::unique_ptr<OutputTarget>> replacement(const std::shared_ptr<FileOps>& ops,
                                                       const std::string& name, const std::string& path,
                                                       uint32_t mode) {
    // A long name is cut short, so that the temporary one still fits in a directory entry.
    std::string hidden = ".";
    hidden.append(base_of(path), 0, 200);
    hidden += '.';
    const std::string prefix = join_path(parent_of(path), hidden);
    const StopSignalsBlocked blocked;
    CleanupEntry entry = TR_TRY(reserve_cleanup(CleanupKind::File));
    for (int attempt = 0;; ++attempt) {
        std::string temp = prefix + random_suffix(attempt) + ".tmp";
        EngineResult<std::unique_ptr<WritableFile>> file = ops->create_private_file(temp);
        if (!file && file.error().kind() == ErrorKind::AlreadyExists && attempt < 100) continue;
        if (!file) return open_failed(name, file.error());
        if (EngineStatus recorded = entry.set_path(temp); !recorded) {
            file.value().reset();
            (void)ops->remove_path(temp);
            return open_failed(name, recorded.error());
        }
        return std::unique_ptr<OutputTarget>(std::make_unique<ReplacingTarget>(
            ops, name, path, mode, std::move(temp), std::move(file).value(), std::move(entry)));
    }
}

bool in_group(uint32_t group) {
    if (group == static_cast<uint32_t>(::getegid())) return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (static_cast<uint32_t>(groups[static_cast<size_t>(i)]) == group) return true;
    }
    return false;
}

// Whether a file made in the directory would be the same as one the target's open would
// make: we may add to it by its mode bits, not only by access(), which lets root write
// everywhere (a read-only directory is left alone even by root); and no default ACL or other
// extended attribute would give the new file more than its mode.
bool replaceable_in(FileOps& ops, const std::string& dir) {
    if (!ops.check_access(dir, W_OK | X_OK)) return false;
    EngineResult<FileOps::PathStatus> status = ops.path_status(dir, true);
    if (!status) return false;
    const uint32_t euid = static_cast<uint32_t>(::geteuid());
    const uint32_t wanted = status->owner == euid ? 0300 : in_group(status->group) ? 0030 : 0003;
    return (status->mode & wanted) == wanted && !ops.has_extended_attributes(dir);
}

// The group a new file in the directory gets.
uint32_t new_file_group(FileOps& ops, const std::string& dir) {
    EngineResult<FileOps::PathStatus> status = ops.path_status(dir, true);
    if (status && (status->mode & 02000) != 0) return status->group;
    return static_cast<uint32_t>(::getegid());
}

// The regular file at path, which exists: replaced only if nothing about it would change
// but its contents (one name, our owner and group, no extended attribute).
EngineResult<std::unique_ptr<OutputTarget>> existing_file(const std::shared_ptr<FileOps>& ops,
                                                         const std::string& name, const std::string& path,
                                                         const FileOps::PathStatus& status) {
    const std::string dir = parent_of(path);
    if (status.links == 1 && status.owner == static_cast<uint32_t>(::geteuid()) &&
        status.group == new_file_group(*ops, dir) && !ops->has_extended_attributes(path) &&
        replaceable_in(*ops, dir)) {
        return replacement(ops, name, path, status.mode);
    }
    if (EngineStatus may = ops->check_access(path, W_OK); !may) return open_failed(name, may.error());
    return std::unique_ptr<OutputTarget>(std::make_unique<InPlaceTarget>(ops, name, path));
}

// Nothing is at name yet (or a link to nothing is).
EngineResult<std::unique_ptr<OutputTarget>> missing_file(const std::shared_ptr<FileOps>& ops,
                                                        const std::string& name) {
    EngineResult<FileOps::PathStatus> link = ops->path_status(name, false);
    if (link && link->kind == Kind::Link) {
        // Its open makes the file the link points to, which the link then names.
        return std::unique_ptr<OutputTarget>(std::make_unique<InPlaceTarget>(ops, name, name));
    }
    if (name.back() == '/') return open_failed(name, EngineError::from_errno(EISDIR));
    EngineResult<std::string> dir = ops->real_path(parent_of(name));
    if (!dir) return open_failed(name, dir.error());
    const std::string path = join_path(*dir, base_of(name));
    if (replaceable_in(*ops, *dir)) return replacement(ops, name, path, 0666 & ~ops->creation_mask());
    if (EngineStatus may = ops->check_access(*dir, W_OK | X_OK); !may) return open_failed(name, may.error());
    return std::unique_ptr<OutputTarget>(std::make_unique<InPlaceTarget>(ops, name, path));
}

}  // namespace

std::unique_ptr<OutputTarget> standard_output(std::shared_ptr<FileOps> ops) {
    return std::make_unique<StandardOutputTarget>(std::move(ops));
}

EngineResult<std::unique_ptr<OutputTarget>> output_file(std::shared_ptr<FileOps> ops, const std::string& name) {
    if (name.empty()) return open_failed(name, EngineError::from_errno(ENOENT));
    EngineResult<std::string> path = ops->real_path(name);
    if (!path) {
        if (path.error().kind() == ErrorKind::NotFound) return missing_file(ops, name);
        return open_failed(name, path.error());
    }
    EngineResult<FileOps::PathStatus> status = ops->path_status(*path, true);
    if (!status) return open_failed(name, status.error());
    switch (status->kind) {
        case Kind::Directory:
            return open_failed(name, EngineError::from_errno(EISDIR));
        case Kind::Regular:
            return existing_file(ops, name, *path, *status);
        default: {
            if (EngineStatus may = ops->check_access(*path, W_OK); !may) return open_failed(name, may.error());
            return std::unique_ptr<OutputTarget>(std::make_unique<InPlaceTarget>(ops, name, *path));
        }
    }
}

}  // namespace tessarune::job
