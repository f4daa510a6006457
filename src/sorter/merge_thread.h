// The body of write_to's merging thread, "tessarune-merge". It runs the final merge of a read
// and packs the payloads into chunks for the calling thread. It never touches the
// interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "merge/merger.h"
#include "sorter/chunk_channel.h"

namespace tessarune {

// A chunk is closed as soon as it holds this many bytes or more.
inline constexpr size_t kChunkBytes = 1048576;

// Sends chunks of merged payloads until the merge ends (the last chunk may be short or
// empty) or fails (the error is the last message), or until the receiver lets go. With a
// terminator, each payload is followed by that byte (lines stored without their end). With
// `unique`, a record whose key equals the previous record's is left out, so only the first
// of each run of equal keys is sent. Then
// releases the merger, which removes the spill directory, and only after that lets go of the
// sending end, so that a receiver that saw the end knows the files are gone. An internal
// error is caught and handed over through the channel.
void run_merge_thread(std::unique_ptr<Merger> merger, std::shared_ptr<ChunkChannel> channel,
                      std::optional<uint8_t> terminator, bool unique = false);

}  // namespace tessarune
