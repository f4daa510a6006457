#include "sorter/counting_file_ops.h"

#include <string>
#include <utility>

namespace tessarune {
namespace {

class CountingFile final : public WritableFile {
public:
    CountingFile(std::unique_ptr<WritableFile> inner, std::shared_ptr<SorterStats> stats)
        : inner_(std::move(inner)), stats_(std::move(stats)) {}

    IoResult<size_t> write(const uint8_t* data, size_t n) override {
        IoResult<size_t> wrote = inner_->write(data, n);
        if (wrote) stats_->add_file_bytes(wrote.value());
        return wrote;
    }
    IoStatus close() override { return inner_->close(); }

private:
    std::unique_ptr<WritableFile> inner_;
    std::shared_ptr<SorterStats> stats_;
};

class CountingFileOps final : public FileOps {
public:
    CountingFileOps(std::shared_ptr<FileOps> inner, std::shared_ptr<SorterStats> stats)
        : inner_(std::move(inner)), stats_(std::move(stats)) {}

    IoResult<bool> is_directory(const std::string& path) override { return inner_->is_directory(path); }
    IoResult<std::string> current_dir() override { return inner_->current_dir(); }
    IoStatus make_dir(const std::string& path) override { return inner_->make_dir(path); }
    IoResult<std::unique_ptr<WritableFile>> create_new_file(const std::string& path) override {
        return counted(inner_->create_new_file(path));
    }
    IoResult<std::unique_ptr<ReadableFile>> open_for_read(const std::string& path) override {
        return inner_->open_for_read(path);
    }
    IoStatus remove_file(const std::string& path) override { return inner_->remove_file(path); }
    void remove_tree(const std::string& path) override { inner_->remove_tree(path); }
    IoStatus random_bytes(uint8_t* out, size_t n) override { return inner_->random_bytes(out, n); }

    IoResult<std::unique_ptr<OpenDir>> open_dir(const std::string& path) override {
        return inner_->open_dir(path);
    }
    IoResult<std::unique_ptr<WritableFile>> create_new_file_in(OpenDir& dir,
                                                               const std::string& name) override {
        return counted(inner_->create_new_file_in(dir, name));
    }
    IoResult<std::unique_ptr<ReadableFile>> open_for_read_in(OpenDir& dir,
                                                             const std::string& name) override {
        return inner_->open_for_read_in(dir, name);
    }
    IoStatus remove_file_in(OpenDir& dir, const std::string& name) override {
        return inner_->remove_file_in(dir, name);
    }
    void remove_dir(std::unique_ptr<OpenDir> dir) override { inner_->remove_dir(std::move(dir)); }
    uint64_t free_descriptors() override { return inner_->free_descriptors(); }

private:
    IoResult<std::unique_ptr<WritableFile>> counted(IoResult<std::unique_ptr<WritableFile>> file) {
        if (!file) return file;
        return std::unique_ptr<WritableFile>(
            std::make_unique<CountingFile>(std::move(file).value(), stats_));
    }

    std::shared_ptr<FileOps> inner_;
    std::shared_ptr<SorterStats> stats_;
};

}  // namespace

std::shared_ptr<FileOps> counting_file_ops(std::shared_ptr<FileOps> inner,
                                           std::shared_ptr<SorterStats> stats) {
    return std::make_shared<CountingFileOps>(std::move(inner), std::move(stats));
}

}  // namespace tessarune
