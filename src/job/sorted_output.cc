#include "job/sorted_output.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>
#include <utility>
#include <variant>

#include "base/channel.h"
#include "base/thread_name.h"
#include "format/record_keyers.h"

namespace tessarune::job {
namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;
constexpr std::chrono::milliseconds kWaitSlice{50};
// Progress is told of the writing at most this often.
constexpr uint64_t kProgressBytes = uint64_t{4} << 20;

struct Chunk {
    ByteBuffer bytes;
    uint64_t records = 0;
};
using ChunkMessage = std::variant<Chunk, EngineError>;

// At most two chunks wait, so the merge runs at most three chunks ahead of the writes; the
// written chunks' buffers come back for reuse.
struct Channels {
    Channel<ChunkMessage> chunks{2};
    Channel<ByteBuffer> spares{2};
};

void append_record(const RecordLayout& layout, const RecordView& record, ByteBuffer& out) {
    // Grown to fit exactly: a chunk passes 1 MiB by its last record only, and doubling there
    // would hold up to twice the memory in every queued chunk.
    const size_t most = record.payload.size() + 1 + (layout.kind == RecordLayout::Kind::KeyedLine ? record.key.size() : 0);
    if (out.size() + most > out.capacity()) out.set_capacity(out.size() + most);
    switch (layout.kind) {
        case RecordLayout::Kind::LineThenSeparator:
            out.append(record.payload);
            out.push_back(layout.separator);
            break;
        case RecordLayout::Kind::KeyedLine:
            format::append_keyed_line(*layout.plan, layout.separator, record.key, record.payload, out);
            break;
        case RecordLayout::Kind::Payload: out.append(record.payload); break;
    }
}

// Sends chunks until the merge ends (the last chunk may be short or empty) or fails (the
// error is the last message), or until the receiver closes. Throws on an internal error.
void send_chunks(FinalMerge& merge, const RecordLayout& layout, Channels& channels) {
    RecordView record;
    ByteBuffer previous_key;
    bool have_previous = false;
    for (;;) {
        Chunk chunk;
        channels.spares.try_receive(chunk.bytes);
        if (chunk.bytes.capacity() < kChunkBytes) chunk.bytes.set_capacity(kChunkBytes);
        EngineResult<bool> next = true;
        while (chunk.bytes.size() < kChunkBytes && (next = merge.merge_next(&record)) && *next) {
            if (layout.unique) {
                if (have_previous && std::ranges::equal(record.key, previous_key.span())) continue;
                previous_key.clear();
                previous_key.append(record.key);
                have_previous = true;
            }
            append_record(layout, record, chunk.bytes);
            chunk.records += 1;
        }
        if (!next) {
            channels.chunks.send(ChunkMessage(std::move(next).error()));
            return;
        }
        if (!channels.chunks.send(ChunkMessage(std::move(chunk))) || !*next) return;
    }
}

// The merging thread, owned by the writing side: however the write ends, the receiving end
// is closed (waking a merge that waits for room) and the thread joined.
class MergingThread {
public:
    MergingThread(std::unique_ptr<FinalMerge> merge, const RecordLayout& layout)
        : channels_(std::make_shared<Channels>()) {
        thread_ = std::thread([merge = std::move(merge), layout, channels = channels_]() mutable {
            std::exception_ptr internal_error;
            try {
                set_current_thread_name("tessarune-merge");
                send_chunks(*merge, layout, *channels);
            } catch (...) {
                internal_error = std::current_exception();
            }
            // The spill directory goes before the end is told: a writer that saw the end
            // knows the files are gone.
            merge.reset();
            channels->chunks.close(std::move(internal_error));
        });
    }
    ~MergingThread() { finish(); }
    MergingThread(const MergingThread&) = delete;
    MergingThread& operator=(const MergingThread&) = delete;

    Channels& channels() { return *channels_; }

    // Closes the receiving end and joins; rethrows an internal error of the thread.
    void finish() {
        if (!thread_.joinable()) return;
        channels_->chunks.close_and_discard();
        channels_->spares.close_and_discard();
        thread_.join();
    }
    void finish_and_rethrow() {
        finish();
        if (std::exception_ptr error = channels_->chunks.internal_error()) std::rethrow_exception(error);
    }

private:
    std::shared_ptr<Channels> channels_;
    std::thread thread_;
};

}  // namespace

EngineResult<uint64_t> write_sorted(std::unique_ptr<FinalMerge> merge, const RecordLayout& layout,
                                    OutputTarget& output, Poll& poll, JobProgress* progress) {
    MergingThread thread(std::move(merge), layout);
    Channels& channels = thread.channels();
    uint64_t written = 0;
    uint64_t unreported = 0;
    uint64_t unreported_bytes = 0;
    auto report = [&] {
        if (progress != nullptr && unreported != 0) progress->wrote_records(std::exchange(unreported, 0));
        unreported_bytes = 0;
    };
    for (;;) {
        ChunkMessage message;
        const Received received = channels.chunks.receive_for(message, kWaitSlice);
        if (received == Received::Closed) break;
        if (received == Received::TimedOut) {
            if (poll.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
            continue;
        }
        if (auto* error = std::get_if<EngineError>(&message)) return Unexpected(std::move(*error));
        Chunk& chunk = std::get<Chunk>(message);
        TR_RETURN_IF_ERROR(output.write(chunk.bytes.span()));
        written += chunk.records;
        unreported += chunk.records;
        unreported_bytes += chunk.bytes.size();
        if (unreported_bytes >= kProgressBytes) report();
        if (chunk.bytes.capacity() <= 2 * kChunkBytes) {
            chunk.bytes.clear();
            channels.spares.try_send(std::move(chunk.bytes));
        }
        if (poll.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
    }
    thread.finish_and_rethrow();
    report();
    return written;
}

}  // namespace tessarune::job
