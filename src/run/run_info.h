// RunInfo: one run file, with what a reader needs that the file does not carry.
#pragma once

#include <cstdint>
#include <string>

#include "sorter/growable_array.h"

namespace tessarune {

// In a run's record stream, a payload length field of this value is followed by one of the
// two flag bytes.
inline constexpr uint32_t kPayloadLengthEscape = 0xFFFFFFFF;
inline constexpr uint8_t kFlagPayloadFollows = 0;
inline constexpr uint8_t kFlagPayloadInKey = 1;

// The payload of a record whose payload is in its key: key bytes 1 to K - 2 (the raw bytes
// of a bytes key between its tag and its closing 00 00). REQUIRES: key size >= 3.
inline Bytes payload_from_key(Bytes key) { return key.subspan(1, key.size() - 3); }

struct RunInfo {
    std::string path;
    uint64_t record_count = 0;
    // Length of the record stream: sum of 8 + K + P, and one more for each record whose
    // payload length field is FFFFFFFF (see run_writer.cc).
    uint64_t byte_count = 0;
};

}  // namespace tessarune
