#include "sorter/chunk_channel.h"

#include <utility>

namespace tessarune {

bool ChunkChannel::send(ChunkMessage message) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !receiver_alive_ || count_ < kBound; });
    if (!receiver_alive_) return false;
    ring_[(head_ + count_) % kBound].emplace(std::move(message));
    count_ += 1;
    changed_.notify_all();
    return true;
}

void ChunkChannel::finish_sending(std::exception_ptr panic) {
    std::lock_guard lock(mutex_);
    sender_alive_ = false;
    panic_ = std::move(panic);
    changed_.notify_all();
}

ChunkChannel::Received ChunkChannel::receive(std::chrono::milliseconds slice,
                                             std::optional<ChunkMessage>* out) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + slice;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (count_ > 0) {
            *out = std::move(ring_[head_]);
            ring_[head_].reset();
            head_ = (head_ + 1) % kBound;
            count_ -= 1;
            changed_.notify_all();  // the sender may be waiting for room
            return Received::Message;
        }
        if (!sender_alive_) return Received::SenderGone;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return Received::TimedOut;
        // Whole milliseconds, rounded up, so that a wait never ends just short of the slice.
        changed_.wait_for(lock, std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
}

ByteBuffer ChunkChannel::take_spare() {
    std::lock_guard lock(mutex_);
    if (spare_count_ == 0) return ByteBuffer();
    spare_count_ -= 1;
    return std::move(spares_[spare_count_]);
}

void ChunkChannel::give_back(ByteBuffer buffer) {
    if (buffer.capacity() > kKeptSpareCapacity) return;
    buffer.clear();
    std::lock_guard lock(mutex_);
    if (spare_count_ == kBound || !sender_alive_) return;  // freed on the way out
    spares_[spare_count_] = std::move(buffer);
    spare_count_ += 1;
}

void ChunkChannel::finish_receiving() {
    std::array<std::optional<ChunkMessage>, kBound> dropped;
    std::array<ByteBuffer, kBound> dropped_spares;
    {
        std::lock_guard lock(mutex_);
        receiver_alive_ = false;
        dropped.swap(ring_);
        dropped_spares.swap(spares_);
        spare_count_ = 0;
        count_ = 0;
        changed_.notify_all();
    }
    // Freed outside the mutex: up to two chunks of a megabyte or more.
}

std::exception_ptr ChunkChannel::panic() const {
    std::lock_guard lock(mutex_);
    return panic_;
}

}  // namespace tessarune
