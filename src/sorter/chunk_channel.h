// ChunkChannel: the hand-over between write_to's merging thread, which packs merged payloads
// into chunks, and the calling thread, which writes them to the handle.
//
// At most two messages wait in the channel, so the merge runs at most three chunks ahead of
// the writes (two queued, one being filled). The merging thread waits for room without a
// time limit: the caller always lets go of its end before it joins, which wakes it. The
// caller waits in short slices so that it can poll for signals in between.
//
// Thread safety: one sending thread and one receiving thread; every member may be called
// concurrently with the other side's. The channel lives as long as either side holds it.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>
#include <variant>

#include "base/engine_error.h"
#include "base/growable_array.h"

namespace tessarune {

// What travels to the caller: a chunk of payloads, or the merge error that ended the data.
using ChunkMessage = std::variant<ByteBuffer, EngineError>;

class ChunkChannel {
public:
    static constexpr size_t kBound = 2;
    static constexpr size_t kKeptSpareCapacity = 2 << 20;

    ChunkChannel() = default;
    ChunkChannel(const ChunkChannel&) = delete;
    ChunkChannel& operator=(const ChunkChannel&) = delete;

    // --- the merging thread ---
    // Queues the message, waiting while kBound messages are queued. False, with the message
    // dropped, once the receiver has let go.
    bool send(ChunkMessage message);
    // Lets go of the sending end. `panic` is the internal error that ended the sender, or
    // null; the receiver finds it with panic() after joining the sender.
    void finish_sending(std::exception_ptr panic);
    // A chunk buffer that the receiver has written out and handed back (emptied), or one
    // without storage: reusing them spares a fresh allocation, and its page faults, per chunk.
    ByteBuffer take_spare();

    // --- the calling thread ---
    enum class Received { Message, SenderGone, TimedOut };
    // Waits at most `slice` for a message (oldest first) or for the sender to finish; queued
    // messages are handed out before the sender's end is reported.
    Received receive(std::chrono::milliseconds slice, std::optional<ChunkMessage>* out);
    // Hands a written chunk's buffer back for reuse; at most kBound are kept, and none that
    // grew past twice the usual size.
    void give_back(ByteBuffer buffer);
    // Lets go of the receiving end: queued messages are dropped and a waiting sender wakes.
    void finish_receiving();
    // The sender's internal error. REQUIRES: the sender has finished (joined).
    std::exception_ptr panic() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // every push, pop and let-go
    std::array<std::optional<ChunkMessage>, kBound> ring_;
    std::array<ByteBuffer, kBound> spares_;
    size_t spare_count_ = 0;
    size_t head_ = 0;   // index of the oldest queued message
    size_t count_ = 0;  // number of queued messages
    bool sender_alive_ = true;
    bool receiver_alive_ = true;
    std::exception_ptr panic_;
};

}  // namespace tessarune
