// SorterCore: the engine object behind one Python Sorter.
//
// This header is the whole interface that the Python module uses. The engine never touches
// the interpreter: the caller releases it around anything that can sleep, and passes a Poll
// that the engine calls while it waits or merges, so that the caller can check for signals.
//
// Locking. One mutex serialises every operation of a sorter ("threads sharing a sorter take
// turns"). It records its holder (the owner mark), so that a signal handler that calls into
// the same sorter from inside one of its holder's waits is refused as reentrant instead of
// deadlocking. The protocol, for the caller:
//   - try_lock() without waiting while attached to the interpreter; or
//   - detach, refuse if held_by_this_thread(), then lock() (sleeping if busy);
//   - unlock() before attaching again.
// Every method below the lock functions REQUIRES the mutex held by the calling thread.
//
// Internal errors (broken invariants, including one carried over from a spill thread)
// are thrown as InternalError; std::bad_alloc may be thrown when memory runs out. The mutex
// stays usable afterwards.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>

#include "base/expected.h"
#include "base/growable_array.h"
#include "base/record_buffer.h"
#include "run/file_ops.h"
#include "sorter/filling.h"
#include "sorter/final_merge.h"
#include "sorter/poll.h"
#include "sorter/sorter_stats.h"

namespace tessarune {

// The Python sorter's status byte; the engine sets it where the read and close say so.
enum class SorterStatus : uint8_t { Open = 0, Read = 1, Closed = 2 };
using StatusByte = std::atomic<SorterStatus>;

enum class StateKind : uint8_t { Filling, Reading, Read, Stopped, Closed };

// The payloads that the iterator has taken from the merge and not yet handed out.
struct ReadBatch {
    ByteBuffer payload_bytes;
    GrowableArray<uint64_t> payload_ends;  // offset just past each payload
    size_t cursor = 0;
};
inline constexpr size_t kBatchMaxPayloads = 4096;
inline constexpr size_t kBatchMaxBytes = 1048576;

// What a SorterCore holds in each of its states:
//
//   Filling  --start_read(keep)-->  Reading (FinalMerge + ReadBatch)  --merge ends-->  Read
//   Filling  --start_read(!keep)--> Read (the FinalMerge went to the caller)
//   Filling / Reading --failure or interruption--> Stopped
//   any --close--> Closed
//
// Replacing the state releases what it held: a Filling (see filling.h), or a FinalMerge,
// which removes the spill directory.
struct EngineState {
    struct Reading {
        FinalMerge merge;
        ReadBatch batch;
    };
    struct Read {};
    struct Stopped {};
    struct Closed {};

    // In StateKind's order.
    std::variant<std::unique_ptr<Filling>, Reading, Read, Stopped, Closed> v;

    StateKind kind() const { return static_cast<StateKind>(v.index()); }
};

enum class NextPayload : uint8_t { Payload, Nothing, Closed };

// When create_core finds out whether a spill directory can be made in its base.
enum class BaseCheck : uint8_t { Probe, AtFirstSpill };
// When the sort pool's workers start: with the engine, or only once a spill or a large last
// sort needs them (a short-lived process that sorts a few lines then starts no thread).
enum class PoolStart : uint8_t { AtCreation, WhenNeeded };

class SorterCore {
public:
    ~SorterCore();  // releases whatever the state still holds (joins a spill, removes files)
    SorterCore(const SorterCore&) = delete;
    SorterCore& operator=(const SorterCore&) = delete;

    // --- lock protocol: each way of locking sets the owner mark, unlock() clears it first ---
    bool try_lock() { return mark_owner(mutex_.try_lock()); }
    bool try_lock_for(std::chrono::milliseconds limit) { return mark_owner(mutex_.try_lock_for(limit)); }
    void lock() {
        mutex_.lock();
        mark_owner(true);
    }
    void unlock() {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
    // Only the calling thread itself can have stored its own id, so a relaxed read is enough.
    bool held_by_this_thread() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

    // False in a process forked from the one that made this sorter. There the sorter may
    // only be released, which frees memory and touches no file or thread of the parent's;
    // the caller refuses every other use (OtherProcess) without taking the mutex, which a
    // thread that does not exist in the child may have held at the fork.
    bool in_creating_process() const;

    // --- everything below REQUIRES the mutex held ---
    StateKind state_kind() const;

    // add(filling) with the Filling while the sorter takes records (to call its add, try_add,
    // try_add_bytes, try_add_lines or is_full_for), else the refusal of a sorter that no longer
    // does. The try_ methods answer false, with nothing done, when appending needs the running
    // spill to end first: detach, then call Filling::add, which may wait.
    template <typename Add>
    auto add(Add add) {
        using Result = decltype(add(std::declval<Filling&>()));
        if (auto* filling = std::get_if<std::unique_ptr<Filling>>(&state_.v)) return add(**filling);
        return Result(Unexpected(refusal(ErrorKind::AddAfterRead)));
    }

    // Starts the read (Filling::finish) and sets status to Read when the state was Filling.
    // keep = true: the merge stays in the state Reading (the result is null).
    // keep = false: the merge is returned to the caller and the state is Read.
    // On a failure after leaving Filling the state is Stopped and what was spilled is gone.
    // If the sorter was closed while the poll had the mutex unlocked, the read is dropped
    // and the answer is the Closed refusal (the state stays Closed).
    EngineResult<std::unique_ptr<FinalMerge>> start_read(StatusByte& status, bool keep, Poll& poll);

    // Takes the state out, leaving Closed. Destroy what it returns after unlock(), detached
    // from the interpreter: it may join a spill and remove files.
    std::unique_ptr<EngineState> take_state_for_close();

    // --- reading, state Reading ---
    // Whether the batch is used up (true at the start of a read). False in other states.
    bool batch_used_up() const;
    // Refills the batch from the merge: up to 4096 payloads, and no more once it holds
    // 1 MiB. At the end of the merge the state becomes Read; on a merge error Stopped (the
    // spill directory removed) and the error is returned. Nothing happens in other states.
    EngineStatus refill_batch();
    // The next payload of the batch in Reading, or Nothing; Closed in Closed. The bytes stay
    // valid until the next call that changes the state or the batch.
    NextPayload next_payload(Bytes* out);
    // Ends a read in progress (a signal or decoder failure): Reading becomes Stopped.
    void stop_read();

    // --- needs no lock ---
    // The sorter's counters; they live as long as the core. A read that the core does not
    // see end (write_to's merging thread) reports its end here itself.
    SorterStats& stats() const { return *stats_; }

private:
    friend EngineResult<std::shared_ptr<SorterCore>> create_core(std::string, int64_t, int64_t, int64_t,
                                                                 std::shared_ptr<FileOps>, BaseCheck, PoolStart);
    SorterCore();
    bool mark_owner(bool locked) {
        if (locked) owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return locked;
    }
    // The refusal of a sorter outside Filling; `after_read` is what Reading and Read answer.
    EngineError refusal(ErrorKind after_read) const;

    std::timed_mutex mutex_;
    EngineState state_;
    std::atomic<std::thread::id> owner_{};
    std::shared_ptr<SorterStats> stats_;
    pid_t creator_;
};

inline constexpr uint64_t kMaxThreads = 1024;

// Makes the engine: range checks (max_bytes >= 2, max_open >= 2, 1 <= threads <= kMaxThreads,
// checked here alone), the base directory check and probe (Probe; AtFirstSpill leaves the base
// unchecked, so that a sort that never spills does not need it, and the first spill reports it),
// the sort pool when threads > 1 (see PoolStart). A relative base is made absolute now, so that a later chdir
// does not move the spills.
EngineResult<std::shared_ptr<SorterCore>> create_core(
    std::string base, int64_t max_bytes, int64_t max_open, int64_t threads,
    std::shared_ptr<FileOps> ops = FileOps::system(), BaseCheck check = BaseCheck::Probe,
    PoolStart pool_start = PoolStart::AtCreation);

}  // namespace tessarune
