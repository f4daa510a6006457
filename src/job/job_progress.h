// JobProgress: what a job tells about its advance, for a progress display. The job calls it
// on its own thread, from the reading and the writing loops, at most every few MiB.
#pragma once

#include <cstdint>
#include <optional>

namespace tessarune::job {

class JobProgress {
public:
    virtual ~JobProgress() = default;
    // Before the first input is read: the bytes of all inputs, when every one is a regular file.
    virtual void start_reading(std::optional<uint64_t> total_bytes) { (void)total_bytes; }
    virtual void read_bytes(uint64_t bytes) { (void)bytes; }
    // Before the first record is written: how many will be (before -u drops any).
    virtual void start_writing(uint64_t total_records) { (void)total_records; }
    virtual void wrote_records(uint64_t records) { (void)records; }
    // The job is over, however it ended: whatever is drawn goes.
    virtual void finish() {}
};

}  // namespace tessarune::job
