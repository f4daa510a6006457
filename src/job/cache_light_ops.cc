#include "job/cache_light_ops.h"

#include <utility>


namespace tessarune::job {
namespace {

// Each full window is sent to the disk as soon as it is written and settled (waited for
// and dropped from the cache) one window later, so that the writer waits only for data
// already a window old, which the disk has had time to take.
class WritingBehind final : public WritableFile {
public:
    WritingBehind(std::unique_ptr<WritableFile> inner, std::shared_ptr<const std::atomic<bool>> light)
        : inner_(std::move(inner)), light_(std::move(light)) {}

    EngineResult<size_t> write(const uint8_t* data, size_t n) override {
        EngineResult<size_t> put = inner_->write(data, n);
        if (!put) return put;
        written_ += *put;
        if (!light_->load(std::memory_order_relaxed)) {
            started_ = written_ / kCacheWindow * kCacheWindow;
            return put;
        }
        while (written_ - started_ >= kCacheWindow) {
            inner_->write_behind(started_, kCacheWindow, false);
            if (started_ >= kCacheWindow) inner_->write_behind(started_ - kCacheWindow, kCacheWindow, true);
            started_ += kCacheWindow;
        }
        return put;
    }
    EngineStatus close() override { return inner_->close(); }
    void write_behind(uint64_t offset, uint64_t length, bool settle) override {
        inner_->write_behind(offset, length, settle);
    }

private:
    std::unique_ptr<WritableFile> inner_;
    std::shared_ptr<const std::atomic<bool>> light_;
    uint64_t written_ = 0;
    uint64_t started_ = 0;  // the bytes before it are on their way to the disk
};

class ReadingBehind final : public ReadableFile {
public:
    ReadingBehind(std::unique_ptr<ReadableFile> inner, std::shared_ptr<const std::atomic<bool>> light)
        : inner_(std::move(inner)), light_(std::move(light)) {}

    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        EngineResult<size_t> got = inner_->read(data, n);
        if (!got) return got;
        read_ += *got;
        // The window just read may still be wanted by the caller's buffer, not by the cache.
        if (read_ - uncached_ >= 2 * kCacheWindow && light_->load(std::memory_order_relaxed)) {
            uncached_ = read_ - kCacheWindow;
            inner_->uncache_before(uncached_);
        }
        return got;
    }
    void drop_before(uint64_t offset) override { inner_->drop_before(offset); }
    void uncache_before(uint64_t offset) override { inner_->uncache_before(offset); }

private:
    std::unique_ptr<ReadableFile> inner_;
    std::shared_ptr<const std::atomic<bool>> light_;
    uint64_t read_ = 0;
    uint64_t uncached_ = 0;
};

EngineResult<std::unique_ptr<WritableFile>> writing_behind(EngineResult<std::unique_ptr<WritableFile>> made,
                                                          const std::shared_ptr<std::atomic<bool>>& light) {
    if (!made) return made;
    return std::unique_ptr<WritableFile>(std::make_unique<WritingBehind>(std::move(made).value(), light));
}

EngineResult<std::unique_ptr<ReadableFile>> reading_behind(EngineResult<std::unique_ptr<ReadableFile>> opened,
                                                           const std::shared_ptr<std::atomic<bool>>& light) {
    if (!opened) return opened;
    return std::unique_ptr<ReadableFile>(std::make_unique<ReadingBehind>(std::move(opened).value(), light));
}

}  // namespace

bool keeps_cache_light(std::optional<uint64_t> input_bytes, uint64_t memory) {
    return input_bytes && memory != 0 && *input_bytes > memory / 4;
}

EngineResult<std::unique_ptr<WritableFile>> CacheLightOps::create_new_file_in(OpenDir& dir, const std::string& name) {
    return writing_behind(inner().create_new_file_in(dir, name), light_);
}
EngineResult<std::unique_ptr<ReadableFile>> CacheLightOps::open_input(const std::string& path) {
    return reading_behind(inner().open_input(path), light_);
}
EngineResult<std::unique_ptr<ReadableFile>> CacheLightOps::standard_input() {
    return reading_behind(inner().standard_input(), light_);
}
EngineResult<std::unique_ptr<WritableFile>> CacheLightOps::open_for_write(const std::string& path) {
    return writing_behind(inner().open_for_write(path), light_);
}
EngineResult<std::unique_ptr<WritableFile>> CacheLightOps::create_private_file(const std::string& path) {
    return writing_behind(inner().create_private_file(path), light_);
}

}  // namespace tessarune::job
