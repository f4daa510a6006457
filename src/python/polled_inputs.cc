#include "python/polled_inputs.h"

#include <algorithm>
#include <utility>

namespace tessarune::python {
namespace {

class PolledFile final : public ReadableFile {
public:
    PolledFile(std::unique_ptr<ReadableFile> inner, Poll& poll, size_t most_per_read)
        : inner_(std::move(inner)), poll_(poll), most_per_read_(most_per_read) {}

    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        if (most_per_read_ != 0) n = std::min(n, most_per_read_);
        for (;;) {
            if (poll_.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
            EngineResult<size_t> got = inner_->read(data, n);
            if (got || got.error().kind() != ErrorKind::Interrupted) return got;
        }
    }
    void drop_before(uint64_t offset) override { inner_->drop_before(offset); }
    void uncache_before(uint64_t offset) override { inner_->uncache_before(offset); }

private:
    std::unique_ptr<ReadableFile> inner_;
    Poll& poll_;
    size_t most_per_read_;
};

}  // namespace

EngineResult<std::unique_ptr<ReadableFile>> PolledInputs::polled(EngineResult<std::unique_ptr<ReadableFile>> opened) {
    if (!opened) return opened;
    return std::unique_ptr<ReadableFile>(std::make_unique<PolledFile>(std::move(*opened), poll_, most_per_read_));
}

}  // namespace tessarune::python
