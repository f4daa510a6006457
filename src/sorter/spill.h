// The spill pipeline: a full half of the sorter's memory is handed to a "tessarune-spill"
// thread, which sorts it and writes it as the next run file while the other half fills.
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

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

#include "base/channel.h"
#include "base/expected.h"
#include "base/record_buffer.h"
#include "base/process.h"
#include "base/sort_pool.h"
#include "base/thread_name.h"
#include "run/file_ops.h"

namespace tessarune {

class Poll;
class SorterStats;
class SpillDir;
struct FillingState;

// What a spill sends back: the spilled buffer emptied for reuse (or without storage), or
// the I/O error that stopped it.
struct SpillResult {
    std::variant<RecordBuffer, EngineError> outcome;
};

// The spill thread's one message; internal errors close the channel instead.
using SpillChannel = Channel<SpillResult>;

// A running spill: its thread and the channel its result comes through. Dropping a job
// joins its thread (without a time limit) and discards its result; in a process forked from
// the one that started it, where the thread does not exist, it abandons both instead.
struct SpillJob {
    std::thread thread;
    std::shared_ptr<SpillChannel> result = std::make_shared<SpillChannel>(1);
    pid_t creator = ::getpid();

    SpillJob() = default;
    SpillJob(const SpillJob&) = delete;
    SpillJob& operator=(const SpillJob&) = delete;
    ~SpillJob() {
        if (!is_current_process(creator)) {
            // The channel's lock may have been held by the spill thread at the fork.
            abandon(std::make_shared<std::thread>(std::move(thread)));
            abandon(std::move(result));
            return;
        }
        if (thread.joinable()) thread.join();
    }
};

// Starts a thread named "tessarune-spill" that runs body(channel), which sends the result.
// Whatever body throws closes the channel with it, for the joiner. Fails with the operating
// system's error when the thread cannot be started (body is then dropped).
template <typename Body>
EngineResult<std::unique_ptr<SpillJob>> launch_spill(Body body) {
    auto job = std::make_unique<SpillJob>();
    try {
        job->thread = std::thread([channel = job->result, body = std::move(body)]() mutable {
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
// above the half budget; or the first I/O error (the unfinished file stays).
SpillResult spill_buffer(RecordBuffer buffer, std::string path, const SpillDir& dir,
                         const std::shared_ptr<SortPool>& pool, uint64_t half_budget,
                         SorterStats& stats);

// Waits for the running spill, if any, asking poll every 50 ms. GaveUp when the poll
// gives up (the spill stays running and a later wait picks it up again). Otherwise the job is
// joined and gone: its buffer becomes the spare buffers, or its failure sets the lost-records
// mark and is returned. An internal error of the spill thread is rethrown here (the mark set).
EngineStatus wait_for_spill(FillingState& state, Poll& poll);

// The path of the next run file: makes the spill directory on first use.
EngineResult<std::string> new_run_path(FillingState& state);

}  // namespace tessarune
