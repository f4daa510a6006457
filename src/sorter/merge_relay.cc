#include "sorter/merge_relay.h"

#include <exception>
#include <optional>
#include <utility>

#include "base/channel.h"
#include "base/record_buffer.h"

namespace tessarune {
namespace {

// What a record takes in a batch's arena and table.
uint64_t stored_size(const RecordView& r) {
    return kEntryBytes + r.key.size() + (r.payload_in_key ? 0 : r.payload.size());
}

struct Batch {
    RecordBuffer records;
    std::optional<EngineError> error;  // the inner merge failed after these records
};

class Relay final : public MergeSource {
public:
    Relay(std::unique_ptr<Merger> inner, SortPool& pool, size_t batch_bytes)
        : inner_(std::move(inner)), batch_bytes_(batch_bytes) {
        // Two buffers in all, the worker filling one while the consumer reads the other: the
        // second is the consumer's first, handed back empty before its first receive.
        empty_.try_send(RecordBuffer());
        task_ = pool.start([this] { produce(); });
    }

    ~Relay() override {
        full_.close_and_discard();
        empty_.close_and_discard();
        task_.wait();  // produce() catches what the merge throws; nothing else can escape
    }

    EngineResult<NextRecord> next_record(RecordView& out) override {
        while (cursor_ == batch_.records.record_count()) {
            if (batch_.error) return Unexpected(*batch_.error);
            empty_.try_send(std::move(batch_.records));  // back to the worker
            cursor_ = 0;
            // The worker closes the channel after the last batch, or with its internal error.
            if (full_.receive(batch_) == Received::Closed) {
                if (std::exception_ptr thrown = full_.internal_error()) std::rethrow_exception(thrown);
                return NextRecord::End;
            }
        }
        out.key = batch_.records.key_of(cursor_);
        out.payload = batch_.records.payload_of(cursor_);
        out.payload_in_key = batch_.records.payload_in_key_of(cursor_);
        ++cursor_;
        return NextRecord::Record;
    }

private:
    void produce() {
        try {
            for (;;) {
                Batch b;
                if (empty_.receive(b.records) == Received::Closed) return;  // the relay was dropped
                const bool more = fill(b);
                if (!full_.send(std::move(b)) || !more) break;
            }
            full_.close();
        } catch (...) {
            full_.close(std::current_exception());
        }
    }

    // Fills a batch up to its capacity (a record larger than that gets a batch of its own);
    // false once the inner merge has ended or failed (said in the batch).
    bool fill(Batch& b) {
        b.records.clear();
        if (b.records.arena_capacity() > batch_bytes_) b.records.arena().set_capacity(batch_bytes_);
        uint64_t size = 0;
        RecordView r;
        for (;;) {
            if (pending_) {
                r = *std::exchange(pending_, std::nullopt);
            } else {
                EngineResult<bool> next = inner_->merge_next(&r);
                if (!next) b.error = std::move(next).error();
                if (!next || !*next) return false;
            }
            if (size != 0 && size + stored_size(r) > batch_bytes_) {
                pending_ = r;  // still valid: the merge is not called again before it is copied
                return true;
            }
            size += stored_size(r);
            if (r.payload_in_key) {
                b.records.append_payload_in_key(r.key);
            } else {
                b.records.append(r.key, r.payload);
            }
        }
    }

    std::unique_ptr<Merger> inner_;     // the worker's alone while it runs
    const size_t batch_bytes_;
    std::optional<RecordView> pending_;  // the worker's: the record the last batch had no room for
    // Filled batches to the consumer; their buffers back to the worker.
    Channel<Batch> full_{2};
    Channel<RecordBuffer> empty_{2};
    // The consumer's own.
    Batch batch_;
    size_t cursor_ = 0;
    SortPool::Pending task_;
};

}  // namespace

std::unique_ptr<MergeSource> start_merge_relay(std::unique_ptr<Merger> inner, SortPool& pool,
                                               size_t batch_bytes) {
    return std::make_unique<Relay>(std::move(inner), pool, batch_bytes);
}

}  // namespace tessarune
