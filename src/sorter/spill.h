// A spill: a full half of the sorter's memory handed to a "tessarune-spill" thread, which
// sorts it and writes it as the next run file while the other half fills.
//
// The thread reports through a channel of one place made anew for each spill, and whoever
// receives the result joins it. An internal error on the spill thread (InternalError,
// std::bad_alloc) does not end the process: it closes the channel and is rethrown by the
// joiner. Lock order: the engine's mutex, then the channel's; the spill thread never takes
// the engine's mutex.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "base/channel.h"
#include "base/expected.h"
#include "base/record_buffer.h"
#include "base/sort_pool.h"
#include "base/thread_name.h"
#include "run/run_info.h"
#include "sorter/entry_sort.h"
#include "sorter/poll.h"

namespace tessarune {

class SorterStats;
class SpillDir;

// What a spill sends back: its buffer emptied for reuse (or without storage), and the run it
// wrote, with the byte counts that only the writer knows.
struct Spilled {
    RecordBuffer buffer;
    RunInfo run;
};
// What a spill sent back, or the error that stopped it.
using SpillResult = EngineResult<Spilled>;

// A running spill. Dropping it joins its thread and discards its result; in a process forked
// from the one that started it, where the thread does not exist, it abandons both instead.
class SpillJob {
public:
    // Starts the thread, which runs body() for the result. Fails with the operating system's
    // error when the thread cannot be started (body is then dropped).
    template <typename Body>
    static EngineResult<std::unique_ptr<SpillJob>> launch(Body body) {
        std::unique_ptr<SpillJob> job(new SpillJob());
        try {
            job->thread_ = std::thread([channel = job->result_, body = std::move(body)]() mutable {
                set_current_thread_name("tessarune-spill");
                try {
                    channel->send(body());
                    channel->close();
                } catch (...) {
                    channel->close(std::current_exception());
                }
            });
        } catch (const std::system_error& e) {
            return Unexpected(EngineError::from_errno(e.code().value()));
        }
        return job;
    }

    ~SpillJob();
    SpillJob(const SpillJob&) = delete;
    SpillJob& operator=(const SpillJob&) = delete;

    // Waits for the result, asking poll every 50 ms. GaveUp when the poll gives up (the
    // spill goes on, and a later wait picks it up again); otherwise the thread is joined and
    // its result returned.
    SpillResult wait(Poll& poll);

private:
    SpillJob();
    std::thread thread_;
    std::shared_ptr<Channel<SpillResult>> result_ = std::make_shared<Channel<SpillResult>>(1);
    pid_t creator_;
};

// Sorts the buffer (on the pool if any) and writes it as the run at path; gives back the
// buffer emptied for reuse, or freed when its counted capacity grew above the half budget,
// with the run; or the first error (the unfinished file stays). The sort's items go in
// `scratch`. Adds the run's bytes to `stats`.
SpillResult spill_buffer(RecordBuffer buffer, std::string path, const SpillDir& dir,
                         const std::shared_ptr<SortPool>& pool, uint64_t half_budget,
                         SorterStats& stats, SortScratch* scratch = nullptr);

}  // namespace tessarune
