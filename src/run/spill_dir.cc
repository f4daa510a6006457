#include "run/spill_dir.h"

#include <unistd.h>

#include <cstdio>

#include "base/paths.h"
#include "base/process.h"

namespace tessarune {
namespace {

EngineError wrap_base(const std::string& base, const EngineError& inner) {
    EngineError e = inner.with_context(base + ": ");
    e.set_path(base);
    return e;
}

}  // namespace

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

EngineResult<std::unique_ptr<SpillDir>> create_spill_dir(const std::shared_ptr<FileOps>& ops,
                                                      const std::string& base) {
    std::string absolute_base = base;
    if (base.empty() || base.front() != '/') {
        EngineResult<std::string> cwd = ops->current_dir();
        if (!cwd) return Unexpected(wrap_base(base, cwd.error()));
        absolute_base = join_path(*cwd, base);
    }

    std::string path = join_path(absolute_base, "tessarune-XXXXXX");
    EngineStatus made = ops->make_temp_dir(path);
    if (made) {
        EngineResult<std::unique_ptr<OpenDir>> opened = ops->open_dir(path);
        if (opened) return std::make_unique<SpillDir>(ops, std::move(opened).value());
        // Not held, so not ours to keep: it is empty and goes again at once.
        ops->remove_tree(path);
        made = Unexpected(std::move(opened).error());
    }
    const EngineError& e = made.error();
    // mkdtemp reports EEXIST only once every name it tried was taken.
    if (e.kind() == ErrorKind::AlreadyExists) {
        return Unexpected(wrap_base(
            base, e.with_message("too many temporary files exist at path " + quote_path(absolute_base))));
    }
    return Unexpected(wrap_base(base, e.with_message(e.message() + " at path " + quote_path(path))));
}

EngineStatus check_spill_base(const std::shared_ptr<FileOps>& ops, const std::string& base) {
    EngineResult<bool> is_dir = ops->is_directory(base);
    if (!is_dir) return Unexpected(wrap_base(base, is_dir.error()));
    if (!*is_dir) {
        return Unexpected(
            EngineError::from_errno(ENOTDIR).with_message(base + " is not a directory").set_path(base));
    }
    EngineResult<std::unique_ptr<SpillDir>> probe = create_spill_dir(ops, base);
    if (!probe) return Unexpected(std::move(probe).error());
    return {};  // the probe's drop removes the directory again
}

}  // namespace tessarune
