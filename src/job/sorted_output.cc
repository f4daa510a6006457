#include "job/sorted_output.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <utility>
#include <variant>

#include "base/channel.h"
#include "base/thread_name.h"
#include "format/record_keyers.h"
#include "job/collated_ties.h"

namespace tessarune::job {
namespace {

// Large enough that a write call costs little per byte, small enough that the chunks in
// flight (up to six with a merging thread) add little to the job's memory.
constexpr size_t kChunkBytes = size_t{256} << 10;
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

// Packs the merge's records into chunks, dropping the repeats of a key under unique.
class ChunkPacker {
public:
    ChunkPacker(FinalMerge& merge, const RecordLayout& layout) : merge_(merge), layout_(layout) {
        if (layout.collated_plan != nullptr) {
            ties_.emplace(merge, *layout.collated_plan, layout.separator, layout.unique, layout.collated_run_bytes);
        }
    }

    // Fills the chunk up to kChunkBytes; false once the merge has ended (the chunk may then
    // be short or empty).
    EngineResult<bool> fill(Chunk& chunk) {
        if (chunk.bytes.capacity() < kChunkBytes) chunk.bytes.set_capacity(kChunkBytes);
        if (ties_) return fill_in_exact_order(chunk);
        while (chunk.bytes.size() < kChunkBytes) {
            if (!TR_TRY(merge_.merge_next(&record_))) return false;
            if (layout_.unique) {
                if (have_previous_ && std::ranges::equal(record_.key, previous_key_.span())) continue;
                previous_key_.clear();
                previous_key_.append(record_.key);
                have_previous_ = true;
            }
            append_record(layout_, record_, chunk.bytes);
            chunk.records += 1;
        }
        return true;
    }

private:
    EngineResult<bool> fill_in_exact_order(Chunk& chunk) {
        while (chunk.bytes.size() < kChunkBytes) {
            const std::optional<Bytes> line = TR_TRY(ties_->next());
            if (!line) return false;
            if (chunk.bytes.size() + line->size() > chunk.bytes.capacity()) {
                chunk.bytes.set_capacity(chunk.bytes.size() + line->size());
            }
            chunk.bytes.append(*line);
            chunk.records += 1;
        }
        return true;
    }

    FinalMerge& merge_;
    const RecordLayout& layout_;
    std::optional<CollatedTies> ties_;
    RecordView record_;
    ByteBuffer previous_key_;
    bool have_previous_ = false;
};

// Sends chunks until the merge ends (the last chunk may be short or empty) or fails (the
// error is the last message), or until the receiver closes. Throws on an internal error.
void send_chunks(FinalMerge& merge, const RecordLayout& layout, Channels& channels) {
    ChunkPacker packer(merge, layout);
    for (;;) {
        Chunk chunk;
        channels.spares.try_receive(chunk.bytes);
        EngineResult<bool> more = packer.fill(chunk);
        if (!more) {
            channels.chunks.send(ChunkMessage(std::move(more).error()));
            return;
        }
        if (!channels.chunks.send(ChunkMessage(std::move(chunk))) || !*more) return;
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

// Counts the records written and tells progress of them now and then.
class WriteTally {
public:
    explicit WriteTally(JobProgress* progress) : progress_(progress) {}

    void add(const Chunk& chunk) {
        written_ += chunk.records;
        unreported_ += chunk.records;
        unreported_bytes_ += chunk.bytes.size();
        if (unreported_bytes_ >= kProgressBytes) report();
    }
    // The records written, progress told of all of them.
    uint64_t finish() {
        report();
        return written_;
    }

private:
    void report() {
        if (progress_ != nullptr && unreported_ != 0) progress_->wrote_records(std::exchange(unreported_, 0));
        unreported_bytes_ = 0;
    }
    JobProgress* progress_;
    uint64_t written_ = 0;
    uint64_t unreported_ = 0;
    uint64_t unreported_bytes_ = 0;
};

EngineResult<uint64_t> write_merged_here(std::unique_ptr<FinalMerge> merge, const RecordLayout& layout,
                                         OutputTarget& output, Poll& poll, JobProgress* progress) {
    ChunkPacker packer(*merge, layout);
    WriteTally tally(progress);
    Chunk chunk;
    for (bool more = true; more;) {
        chunk.bytes.clear();
        chunk.records = 0;
        more = TR_TRY(packer.fill(chunk));
        TR_RETURN_IF_ERROR(output.write(chunk.bytes.span()));
        tally.add(chunk);
        if (poll.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
    }
    return tally.finish();
}

EngineResult<uint64_t> write_merged_aside(std::unique_ptr<FinalMerge> merge, const RecordLayout& layout,
                                          OutputTarget& output, Poll& poll, JobProgress* progress) {
    MergingThread thread(std::move(merge), layout);
    Channels& channels = thread.channels();
    WriteTally tally(progress);
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
        tally.add(chunk);
        if (chunk.bytes.capacity() <= 2 * kChunkBytes) {
            chunk.bytes.clear();
            channels.spares.try_send(std::move(chunk.bytes));
        }
        if (poll.give_up()) return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
    }
    thread.finish_and_rethrow();
    return tally.finish();
}

}  // namespace

EngineResult<uint64_t> write_sorted(std::unique_ptr<FinalMerge> merge, const RecordLayout& layout,
                                    OutputTarget& output, Poll& poll, JobProgress* progress, MergeThread thread) {
    if (thread == MergeThread::None) return write_merged_here(std::move(merge), layout, output, poll, progress);
    return write_merged_aside(std::move(merge), layout, output, poll, progress);
}

}  // namespace tessarune::job
