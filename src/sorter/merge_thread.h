// The body of write_to's merging thread, "tessarune-merge": it runs the final merge of a
// read and packs the payloads into chunks for the calling thread, never touching the
// interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "base/channel.h"
#include "base/engine_error.h"
#include "sorter/final_merge.h"

namespace tessarune {

// A chunk is closed as soon as it holds this many bytes or more.
inline constexpr size_t kChunkBytes = 1048576;

// A chunk of payloads, or the merge error that ended the data.
using ChunkMessage = std::variant<ByteBuffer, EngineError>;

// At most two chunks wait in `chunks`, so the merge runs at most three chunks ahead of the
// writes. `spares` takes written chunks' buffers back, sparing a fresh allocation, and its
// page faults, per chunk.
struct ChunkChannels {
    Channel<ChunkMessage> chunks{2};
    Channel<ByteBuffer> spares{2};

    // The caller's side: hands a written chunk's buffer back for reuse, unless it grew past
    // twice the usual size for one large payload.
    void give_back(ByteBuffer buffer) {
        if (buffer.capacity() > 2 * kChunkBytes) return;
        buffer.clear();
        spares.try_send(std::move(buffer));
    }
    // The caller's way out: wakes a merging thread that waits for room, drops what waits.
    void close_receiving() {
        chunks.close_and_discard();
        spares.close_and_discard();
    }
};

// Sends chunks of merged payloads until the merge ends (the last chunk may be short or
// empty) or fails (the error is the last message), or until the receiver closes. With a
// terminator, each payload is followed by that byte. With `unique`, only the first record of
// each run of equal keys is sent. Then releases the merger, which removes the spill
// directory, and only after that closes `chunks`, so that a receiver that saw the end knows
// the files are gone. An internal error closes `chunks` with it.
void run_merge_thread(std::unique_ptr<FinalMerge> merger, std::shared_ptr<ChunkChannels> channels,
                      std::optional<uint8_t> terminator, bool unique);

}  // namespace tessarune
