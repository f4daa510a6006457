#include "sorter/merge_thread.h"

#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "base/thread_name.h"

namespace tessarune {
namespace {

void append_payload(ByteBuffer& chunk, Bytes payload, size_t extra) {
    // Grown to fit exactly: a chunk passes 1 MiB by its last payload only, and doubling
    // there would hold up to twice the memory in every queued chunk.
    if (chunk.size() + payload.size() + extra > chunk.capacity()) {
        chunk.set_capacity(chunk.size() + payload.size() + extra);
    }
    chunk.append(payload);
}

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
        bool last = false;
        std::optional<EngineError> failure;
        while (chunk.size() < kChunkBytes) {
            EngineResult<bool> next = merger.merge_next(&record);
            if (!next.ok()) {
                failure.emplace(std::move(next).error());
                break;
            }
            if (!next.value()) {
                last = true;
                break;
            }
            if (unique) {
                const Bytes key = record.key;
                if (have_previous && key.size() == previous_key.size() &&
                    std::memcmp(key.data(), previous_key.data(), key.size()) == 0) {
                    continue;
                }
                previous_key.clear();
                previous_key.append(key);
                have_previous = true;
            }
            if (terminator) {
                append_payload(chunk, record.payload, 1);
                chunk.append(Bytes(&*terminator, 1));
            } else {
                append_payload(chunk, record.payload, 0);
            }
        }
        if (failure) {
            chunk.release();
            channels.chunks.send(ChunkMessage(std::move(*failure)));
            return;
        }
        if (!channels.chunks.send(ChunkMessage(std::move(chunk))) || last) return;
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
