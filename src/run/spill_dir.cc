#include "run/spill_dir.h"

#include <unistd.h>

#include <cstdio>

#include "base/paths.h"
#include "base/process.h"

namespace tessarune {
SpillDir::SpillDir(std::shared_ptr<FileOps> ops, std::unique_ptr<OpenDir> dir)
    : ops_(std::move(ops)), dir_(std::move(dir)), creator_(::getpid()) {}

SpillDir::~SpillDir() {
    // A forked child shares the parent's files: removing them would destroy the parent's
    // data. Only the child's own descriptor goes, with dir_.
    if (is_current_process(creator_)) ops_->remove_dir(std::move(dir_));
}

EngineResult<std::unique_ptr<WritableFile>> SpillDir::create_file(const std::string& name) const {
    return ops_->create_new_file_in(*dir_, name);
}

EngineResult<std::unique_ptr<ReadableFile>> SpillDir::open_file(const std::string& name) const {
    return ops_->open_for_read_in(*dir_, name);
}

EngineStatus SpillDir::remove_file(const std::string& name) const {
    return ops_->remove_file_in(*dir_, name);
}

std::string file_name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string run_file_name(uint64_t counter) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%06llu", static_cast<unsigned long long>(counter));
    return std::string("run-") + digits;
}

namespace {

// shown is base as the caller gave it, before it was made absolute: messages name that.
EngineResult<std::unique_ptr<SpillDir>> make_spill_dir(const std::shared_ptr<FileOps>& ops,
                                                    const std::string& base, const std::string& shown) {
    std::string path = join_path(base, "tessarune-XXXXXX");
    EngineStatus made = ops->make_temp_dir(path);
    if (made) {
        EngineResult<std::unique_ptr<OpenDir>> opened = ops->open_dir(path);
        if (opened) return std::make_unique<SpillDir>(ops, std::move(opened).value());
        // Not held, so not ours to keep: it is empty and goes again at once.
        ops->remove_empty_dir(path);
        made = Unexpected(std::move(opened).error());
    }
    const EngineError& e = made.error();
    // mkdtemp reports EEXIST only once every name it tried was taken.
    if (e.kind() == ErrorKind::AlreadyExists) {
        return Unexpected(e.with_message("too many temporary files exist at path " + quote_path(base)).at_path(shown));
    }
    return Unexpected(e.with_message(e.message() + " at path " + quote_path(path)).at_path(shown));
}

}  // namespace

EngineResult<std::unique_ptr<SpillDir>> create_spill_dir(const std::shared_ptr<FileOps>& ops,
                                                      const std::string& base) {
    return make_spill_dir(ops, base, base);
}

EngineResult<std::string> check_spill_base(const std::shared_ptr<FileOps>& ops, const std::string& base) {
    EngineResult<bool> is_dir = ops->is_directory(base);
    if (!is_dir) return Unexpected(is_dir.error().at_path(base));
    if (!*is_dir) {
        return Unexpected(
            EngineError::from_errno(ENOTDIR).with_message(base + " is not a directory").set_path(base));
    }
    std::string absolute = base;
    if (base.empty() || base.front() != '/') {
        EngineResult<std::string> cwd = ops->current_dir();
        if (!cwd) return Unexpected(cwd.error().at_path(base));
        absolute = join_path(*cwd, base);
    }
    TR_RETURN_IF_ERROR(make_spill_dir(ops, absolute, base));  // dropped at once: removed again
    return absolute;
}

}  // namespace tessarune
