// Channel<T>: a bounded queue from one producing thread to one consuming thread: values, then
// the end, or the end with the internal error that stopped the producer.
//
// The engine hands work over this way wherever one thread produces for another: a spill
// thread's result, write_to's chunks, a merge relay's batches (and their buffers going back).
// A producer waits while `capacity` values are queued, so it never runs further ahead than
// that. Either side may close the channel: the producer when it has nothing more (queued
// values still reach the consumer), the consumer when it wants nothing more (queued values
// are dropped, and a producer waiting for room wakes and learns that nobody listens).
//
// Thread safety: every member may be called from any thread; the channel is shared by its two
// ends (std::shared_ptr) and lives as long as either holds it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

namespace tessarune {

enum class Received { Value, Closed, TimedOut };

template <typename T>
class Channel {
public:
    // REQUIRES: capacity >= 1.
    explicit Channel(size_t capacity) : capacity_(capacity) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Queues the value, waiting while the channel is full. False, the value dropped, once the
    // channel is closed.
    bool send(T value) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return closed_ || queue_.size() < capacity_; });
        if (closed_) return false;
        queue_.push_back(std::move(value));
        changed_.notify_all();
        return true;
    }

    // Queues the value if there is room at once; false (the value dropped) if full or closed.
    bool try_send(T value) {
        std::lock_guard lock(mutex_);
        if (closed_ || queue_.size() >= capacity_) return false;
        queue_.push_back(std::move(value));
        changed_.notify_all();
        return true;
    }

    // The producer's end: no more values. `internal_error`, if given, is what stopped the
    // producer; the consumer finds it with internal_error() once it received Closed.
    void close(std::exception_ptr internal_error = nullptr) {
        std::lock_guard lock(mutex_);
        closed_ = true;
        if (internal_error && !internal_error_) internal_error_ = std::move(internal_error);
        changed_.notify_all();
    }

    // The consumer's end: closes and drops whatever is queued (outside the lock, since a
    // value may own megabytes).
    void close_and_discard() {
        std::deque<T> dropped;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            dropped.swap(queue_);
            changed_.notify_all();
        }
    }

    // Waits for the oldest value or the end. Closed only once every queued value was taken.
    Received receive(T& out) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return closed_ || !queue_.empty(); });
        return take(out);
    }

    // The same, waiting at most `slice` (so that the caller can poll for signals between).
    Received receive_for(T& out, std::chrono::milliseconds slice) {
        std::unique_lock lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + slice;
        if (!changed_.wait_until(lock, deadline, [this] { return closed_ || !queue_.empty(); })) {
            return Received::TimedOut;
        }
        return take(out);
    }

    // A value if one is queued now; TimedOut when none is.
    Received try_receive(T& out) { return receive_for(out, std::chrono::milliseconds(0)); }

    // What stopped the producer, or null. Meaningful once receive gave Closed.
    std::exception_ptr internal_error() const {
        std::lock_guard lock(mutex_);
        return internal_error_;
    }

private:
    // REQUIRES: the lock held, and a value queued or the channel closed.
    Received take(T& out) {
        if (queue_.empty()) return Received::Closed;
        out = std::move(queue_.front());
        queue_.pop_front();
        changed_.notify_all();  // the producer may be waiting for room
        return Received::Value;
    }

    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // every send, take and close
    std::deque<T> queue_;              // guarded by mutex_
    bool closed_ = false;              // guarded by mutex_
    std::exception_ptr internal_error_;  // guarded by mutex_
};

}  // namespace tessarune
