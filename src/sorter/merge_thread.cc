#include "sorter/merge_thread.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "base/thread_name.h"

namespace tessarune {
namespace {

// Sends until the data or the receiver ends. Throws on an internal error.
void send_chunks(FinalMerge& merger, ChunkChannels& channels, std::optional<uint8_t> terminator,
                 bool unique) {
    RecordView record;
    ByteBuffer previous_key;
    bool have_previous = false;
    for (;;) {
        ByteBuffer chunk;
        channels.spares.try_receive(chunk);
        if (chunk.capacity() < kChunkBytes) chunk.set_capacity(kChunkBytes);
        EngineResult<bool> next = true;
        while (chunk.size() < kChunkBytes && (next = merger.merge_next(&record)) && *next) {
            if (unique) {
                if (have_previous && std::ranges::equal(record.key, previous_key.span())) continue;
                previous_key.clear();
                previous_key.append(record.key);
                have_previous = true;
            }
            // Grown to fit exactly: a chunk passes 1 MiB by its last payload only, and
            // doubling there would hold up to twice the memory in every queued chunk.
            const size_t needed = chunk.size() + record.payload.size() + (terminator ? 1 : 0);
            if (needed > chunk.capacity()) chunk.set_capacity(needed);
            chunk.append(record.payload);
            if (terminator) chunk.append(Bytes(&*terminator, 1));
        }
        if (!next) {
            chunk.release();
            channels.chunks.send(ChunkMessage(std::move(next).error()));
            return;
        }
        if (!channels.chunks.send(ChunkMessage(std::move(chunk))) || !*next) return;
    }
}

}  // namespace

void run_merge_thread(std::unique_ptr<FinalMerge> merger, std::shared_ptr<ChunkChannels> channels,
                      std::optional<uint8_t> terminator, bool unique) {
    std::exception_ptr internal_error;
    try {
        set_current_thread_name("tessarune-merge");
        send_chunks(*merger, *channels, terminator, unique);
    } catch (...) {
        internal_error = std::current_exception();
    }
    merger.reset();
    channels->chunks.close(std::move(internal_error));
}

}  // namespace tessarune
