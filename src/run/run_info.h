// RunInfo: one run file, with what a reader needs that the file does not carry.
#pragma once

#include <cstdint>
#include <string>

#include "base/record_buffer.h"

namespace tessarune {

// In a run's record stream, a payload length field of this value is followed by one of the
// two flag bytes.
inline constexpr uint32_t kPayloadLengthEscape = 0xFFFFFFFF;
inline constexpr uint8_t kFlagPayloadFollows = 0;
inline constexpr uint8_t kFlagPayloadInKey = 1;

struct RunInfo {
    std::string path;
    uint64_t record_count = 0;
    // Length of the record stream: sum of 8 + K + P, and one more for each record whose
    // payload length field is FFFFFFFF (see run_writer.cc).
    uint64_t byte_count = 0;
    // What the file takes on disk (its blocks and their headers); 0 until it is finished.
    uint64_t file_bytes = 0;
};

}  // namespace tessarune
