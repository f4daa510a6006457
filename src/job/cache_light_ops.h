// CacheLightOps: the file operations of a job whose data is large against the machine's
// memory. What it has read of an input, and what it has written of a run or the output, it
// tells the system to drop from the page cache, and it writes back steadily as it goes, so
// that a sort of many GiB neither evicts what the rest of the machine keeps in memory nor
// stalls on a pile of dirty pages. (Runs drop what they have read themselves: their reader
// punches it out of the file.) A small job leaves the cache alone: reading what is still
// cached is faster.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "run/forwarding_file_ops.h"

namespace tessarune::job {

// Written and read bytes are handed to the system in windows of this size.
inline constexpr uint64_t kCacheWindow = uint64_t{8} << 20;

// Whether a job that reads `input_bytes` (nullopt: not known before reading, as for a pipe)
// on a machine of `memory` bytes (0: not known) should keep the cache light: when its input
// is more than a quarter of the memory.
bool keeps_cache_light(std::optional<uint64_t> input_bytes, uint64_t memory);

// `inner`'s operations, but the files it opens for input, makes for runs and for the output
// hand their data to the system as they go once keep_light(true) was said (before or after
// they were opened: the front door makes the output before the job knows its inputs' size).
class CacheLightOps final : public ForwardingFileOps {
public:
    explicit CacheLightOps(std::shared_ptr<FileOps> inner)
        : ForwardingFileOps(std::move(inner)), light_(std::make_shared<std::atomic<bool>>(false)) {}

    void keep_light(bool light) { light_->store(light, std::memory_order_relaxed); }

    EngineResult<std::unique_ptr<WritableFile>> create_new_file_in(OpenDir& dir, const std::string& name) override;
    EngineResult<std::unique_ptr<ReadableFile>> open_input(const std::string& path) override;
    EngineResult<std::unique_ptr<ReadableFile>> standard_input() override;
    EngineResult<std::unique_ptr<WritableFile>> open_for_write(const std::string& path) override;
    EngineResult<std::unique_ptr<WritableFile>> create_private_file(const std::string& path) override;

private:
    // Shared with the files it opened, which may outlive it.
    std::shared_ptr<std::atomic<bool>> light_;
};

}  // namespace tessarune::job
