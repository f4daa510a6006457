// A spill: a full half of the sorter's memory handed to a "tessarune-spill" thread, which
// sorts it and writes it as the next run file while the other half fills.
//
// The spill thread reports through a channel of one place made anew for each spill. The
// thread that receives the result joins the spill thread. An internal error on the spill
// thread (InternalError, std::bad_alloc) does not end the process: it closes the channel and
// is rethrown by the joiner.
//
// Lock order: the engine's mutex, then the channel's. The spill thread never takes the
// engine's mutex.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "base/channel.h"
#include "base/expected.h"
#include "base/record_buffer.h"
#include "base/sort_pool.h"
#include "base/thread_name.h"
#include "sorter/poll.h"

namespace tessarune {

class SorterStats;
class SpillDir;

// What a spill sends back: the spilled buffer emptied for reuse (or without storage), or
// the error that stopped it.
struct SpillResult {
    std::variant<RecordBuffer, EngineError> outcome;
};

using SpillChannel = Channel<SpillResult>;

// A running spill: its thread and the channel its result comes through. Dropping a job
// joins its thread (without a time limit) and discards its result; in a process forked from
// the one that started it, where the thread does not exist, it abandons both instead.
class SpillJob {
public:
    // Starts a thread named "tessarune-spill" that runs body(channel), which sends the
    // result. Whatever body throws closes the channel with it, for the joiner. Fails with the
    // operating system's error when the thread cannot be started (body is then dropped).
    template <typename Body>
    static EngineResult<std::unique_ptr<SpillJob>> launch(Body body);

    ~SpillJob();
    SpillJob(const SpillJob&) = delete;
    SpillJob& operator=(const SpillJob&) = delete;

    // Waits for the result, asking poll every 50 ms. GaveUp when the poll gives up (the
    // spill goes on, and a later wait picks it up again); otherwise the thread is joined:
    // the buffer it sent back, or its error ("a spill stopped" if it sent nothing). An
    // internal error of the spill thread is rethrown here.
    EngineResult<RecordBuffer> wait(Poll& poll);

private:
    SpillJob();
    std::thread thread_;
    std::shared_ptr<SpillChannel> result_ = std::make_shared<SpillChannel>(1);
    pid_t creator_;
};

template <typename Body>
EngineResult<std::unique_ptr<SpillJob>> SpillJob::launch(Body body) {
    std::unique_ptr<SpillJob> job(new SpillJob());
    try {
        job->thread_ = std::thread([channel = job->result_, body = std::move(body)]() mutable {
            set_current_thread_name("tessarune-spill");
            try {
                body(*channel);
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

// The work of one spill: sorts the buffer (on the pool if any), writes it as the run at
// path, and gives back the buffer emptied for reuse, or freed when its counted capacity grew
// above the half budget; or the first error (the unfinished file stays).
SpillResult spill_buffer(RecordBuffer buffer, std::string path, const SpillDir& dir,
                         const std::shared_ptr<SortPool>& pool, uint64_t half_budget,
                         SorterStats& stats);

}  // namespace tessarune
