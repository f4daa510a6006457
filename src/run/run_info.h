// RunInfo: one run file, with what a reader needs that the file does not carry.
#pragma once

#include <cstdint>
#include <string>

namespace tessarune {

struct RunInfo {
    std::string path;
    uint64_t record_count = 0;
    uint64_t byte_count = 0;  // length of the record stream: sum of 8 + K + P
};

}  // namespace tessarune
