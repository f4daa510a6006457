#include "sorter/merge_relay.h"

#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "base/channel.h"
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

struct Batch {
    ByteBuffer bytes;
    bool last = false;             // the inner merge ended after these records
    std::optional<EngineError> error;  // the inner merge failed after these records
};

class Relay final : public MergeSource {
public:
    Relay(std::unique_ptr<Merger> inner, SortPool& pool, size_t batch_bytes)
        : inner_(std::move(inner)), batch_bytes_(batch_bytes) {
        // Two buffers in all, the worker filling one while the consumer reads the other: the
        // second is the consumer's first, handed back empty before its first receive.
        empty_.try_send(ByteBuffer());
        task_ = pool.start([this] { produce(); });
    }

    ~Relay() override {
        full_.close_and_discard();
        empty_.close_and_discard();
        task_.wait();  // produce() catches what the merge throws; nothing else can escape
    }

    EngineResult<NextRecord> next_record(RecordView& out) override {
        while (cursor_ == batch_.bytes.size()) {
            if (ended_ || batch_.last) return NextRecord::End;
            if (batch_.error) {
                ended_ = true;
                return Unexpected(*batch_.error);
            }
            empty_.try_send(std::move(batch_.bytes));  // back to the worker
            if (full_.receive(batch_) == Received::Closed) {
                ended_ = true;
                // The worker ends by a last or failed batch unless an internal error stopped it.
                if (std::exception_ptr thrown = full_.internal_error()) std::rethrow_exception(thrown);
                fail_internal(__FILE__, __LINE__, "a merge relay's worker ended without its last batch");
            }
            cursor_ = 0;
        }
        cursor_ = view_record(batch_.bytes, cursor_, out);
        return NextRecord::Record;
    }

private:
    void produce() {
        try {
            for (;;) {
                Batch b;
                if (empty_.receive(b.bytes) == Received::Closed) return;  // the relay was dropped
                const bool more = fill(b);
                if (!full_.send(std::move(b)) || !more) return;
            }
        } catch (...) {
            full_.close(std::current_exception());
        }
    }

    // Fills a batch up to its capacity (a record larger than that gets a batch of its own);
    // false once the inner merge has ended or failed (said in the batch).
    bool fill(Batch& b) {
        b.bytes.clear();
        if (b.bytes.capacity() > batch_bytes_) b.bytes.set_capacity(batch_bytes_);
        if (pending_) append_record(b.bytes, *std::exchange(pending_, std::nullopt));
        RecordView r;
        EngineResult<bool> next = true;
        while ((next = inner_->merge_next(&r)) && *next) {
            if (!b.bytes.empty() && b.bytes.size() + stored_size(r) > batch_bytes_) {
                pending_ = r;  // still valid: the merge is not called again before it is copied
                return true;
            }
            append_record(b.bytes, r);
        }
        if (next) {
            b.last = true;
        } else {
            b.error = std::move(next).error();
        }
        return false;
    }

    std::unique_ptr<Merger> inner_;     // the worker's alone while it runs
    const size_t batch_bytes_;
    std::optional<RecordView> pending_;  // the worker's: the record the last batch had no room for
    // Filled batches to the consumer; their buffers back to the worker.
    Channel<Batch> full_{2};
    Channel<ByteBuffer> empty_{2};
    // The consumer's own.
    Batch batch_;
    size_t cursor_ = 0;
    bool ended_ = false;
    SortPool::Pending task_;
};

}  // namespace

std::unique_ptr<MergeSource> start_merge_relay(std::unique_ptr<Merger> inner, SortPool& pool,
                                               size_t batch_bytes) {
    return std::make_unique<Relay>(std::move(inner), pool, batch_bytes);
}

}  // namespace tessarune
