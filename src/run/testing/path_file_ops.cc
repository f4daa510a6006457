#include "run/testing/path_file_ops.h"

#include "run/spill_dir.h"

namespace tessarune::run_testing {
namespace {

std::string parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

class SystemPathFileOps final : public PathFileOps {
public:
    EngineResult<bool> is_directory(const std::string& path) override { return sys_->is_directory(path); }
    EngineResult<std::string> current_dir() override { return sys_->current_dir(); }
    EngineStatus make_temp_dir(std::string& path) override { return sys_->make_temp_dir(path); }

    EngineResult<std::unique_ptr<WritableFile>> create_new_file(const std::string& path) override {
        return tessarune::create_new_file(path);
    }
    EngineResult<std::unique_ptr<ReadableFile>> open_for_read(const std::string& path) override {
        auto dir = TR_TRY(sys_->open_dir(parent_of(path)));
        return sys_->open_for_read_in(*dir, file_name_of(path));
    }
    EngineStatus remove_file(const std::string& path) override {
        auto dir = TR_TRY(sys_->open_dir(parent_of(path)));
        return sys_->remove_file_in(*dir, file_name_of(path));
    }
    void remove_tree(const std::string& path) override {
        EngineResult<std::unique_ptr<OpenDir>> dir = sys_->open_dir(path);
        if (dir) {
            sys_->remove_dir(std::move(dir).value());
        } else {
            sys_->remove_empty_dir(path);
        }
    }

private:
    std::shared_ptr<FileOps> sys_ = FileOps::system();
};

}  // namespace

const std::shared_ptr<PathFileOps>& system_path_ops() {
    static const std::shared_ptr<PathFileOps> ops = std::make_shared<SystemPathFileOps>();
    return ops;
}

}  // namespace tessarune::run_testing
