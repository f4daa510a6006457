#include "sorter/merge_relay.h"

#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>

#include "base/record_buffer.h"

namespace tessarune {
namespace {

// A record in a batch: key length and payload length (4 bytes each, native order), a flag
// byte (1: the payload is inside the key and not stored), the key, the payload.
constexpr size_t kRecordHead = 9;

size_t stored_size(const RecordView& r) {
    return kRecordHead + r.key.size() + (r.payload_in_key ? 0 : r.payload.size());
}

void append_record(ByteBuffer& to, const RecordView& r) {
    const uint32_t k = static_cast<uint32_t>(r.key.size());
    const uint32_t p = r.payload_in_key ? 0 : static_cast<uint32_t>(r.payload.size());
    const size_t at = to.size();
    to.reserve(at + kRecordHead + k + p);
    uint8_t* w = to.data() + at;
    std::memcpy(w, &k, 4);
    std::memcpy(w + 4, &p, 4);
    w[8] = r.payload_in_key ? 1 : 0;
    if (k != 0) std::memcpy(w + kRecordHead, r.key.data(), k);
    if (p != 0) std::memcpy(w + kRecordHead + k, r.payload.data(), p);
    to.set_size(at + kRecordHead + k + p);
}

// Reads the record at `at`; returns where the next one starts.
size_t view_record(const ByteBuffer& from, size_t at, RecordView& out) {
    const uint8_t* r = from.data() + at;
    uint32_t k, p;
    std::memcpy(&k, r, 4);
    std::memcpy(&p, r + 4, 4);
    out.key = Bytes(r + kRecordHead, k);
    out.payload_in_key = r[8] != 0;
    out.payload = out.payload_in_key ? payload_from_key(out.key) : Bytes(r + kRecordHead + k, p);
    return at + kRecordHead + k + p;
}

IoError as_io_error(const EngineError& e) {
    if (e.is_io()) return e.io();
    return IoError(IoErrorKind::Other, "a part of a merge pass failed");
}

struct Batch {
    ByteBuffer bytes;
    bool last = false;               // the inner merge ended after these records
    std::optional<IoError> error;    // the inner merge failed after these records
    std::exception_ptr thrown;       // an internal error of the inner merge
};

class Relay final : public MergeSource {
public:
    Relay(std::unique_ptr<Merger> inner, SortPool& pool, size_t batch_bytes)
        : inner_(std::move(inner)), batch_bytes_(batch_bytes) {
        task_ = pool.start([this] { produce(); });
    }

    ~Relay() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        try {
            task_.wait();
        } catch (...) {
            // produce() catches what the merge throws; nothing else can reach here
        }
    }

    IoResult<NextRecord> next_record(RecordView& out) override {
        for (;;) {
            if (ended_) return NextRecord::End;
            if (holding_) {
                Batch& b = batches_[reading_];
                if (cursor_ < b.bytes.size()) {
                    cursor_ = view_record(b.bytes, cursor_, out);
                    return NextRecord::Record;
                }
                if (b.thrown) {
                    ended_ = true;
                    std::rethrow_exception(b.thrown);
                }
                if (b.error) {
                    ended_ = true;
                    return Unexpected(*b.error);
                }
                if (b.last) {
                    ended_ = true;
                    return NextRecord::End;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    full_[reading_] = false;  // back to the worker
                }
                changed_.notify_all();
                reading_ ^= 1;
                holding_ = false;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return full_[reading_]; });
            holding_ = true;
            cursor_ = 0;
        }
    }

private:
    void produce() {
        for (size_t i = 0;; i ^= 1) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this, i] { return stopping_ || !full_[i]; });
                if (stopping_) return;
            }
            Batch& b = batches_[i];
            b.bytes.clear();
            const bool more = fill(b);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                full_[i] = true;  // the consumer's from here on
            }
            changed_.notify_all();
            if (!more) return;
        }
    }

    // Fills a batch up to its capacity (a record larger than that gets a batch of its own);
    // false once the inner merge has ended or failed (said in the batch).
    bool fill(Batch& b) {
        if (b.bytes.capacity() > batch_bytes_) b.bytes.set_capacity(batch_bytes_);
        try {
            if (pending_) {
                append_record(b.bytes, *pending_);
                pending_.reset();
            }
            for (;;) {
                RecordView r;
                EngineResult<bool> next = inner_->merge_next(&r);
                if (!next) {
                    b.error = as_io_error(next.error());
                    return false;
                }
                if (!next.value()) {
                    b.last = true;
                    return false;
                }
                if (!b.bytes.empty() && b.bytes.size() + stored_size(r) > batch_bytes_) {
                    pending_ = r;  // still valid: the merge is not called again before it is copied
                    return true;
                }
                append_record(b.bytes, r);
            }
        } catch (...) {
            b.thrown = std::current_exception();
            return false;
        }
    }

    std::unique_ptr<Merger> inner_;     // the worker's alone while it runs
    const size_t batch_bytes_;
    std::optional<RecordView> pending_;  // the worker's: the record the last batch had no room for
    std::mutex mutex_;
    std::condition_variable changed_;
    Batch batches_[2];
    bool full_[2] = {false, false};  // guarded by mutex_: batch i is the consumer's
    bool stopping_ = false;          // guarded by mutex_
    // The consumer's own.
    size_t reading_ = 0;
    size_t cursor_ = 0;
    bool holding_ = false;
    bool ended_ = false;
    SortPool::Pending task_;
};

}  // namespace

std::unique_ptr<MergeSource> start_merge_relay(std::unique_ptr<Merger> inner, SortPool& pool,
                                               size_t batch_bytes) {
    return std::make_unique<Relay>(std::move(inner), pool, batch_bytes);
}

}  // namespace tessarune
