// RunInfo: one run file, with what a reader needs that the file does not carry.
#pragma once

#include <cstdint>
#include <string>

namespace tessarune {

struct RunInfo {
    std::string path;
    uint64_t record_count = 0;
    // Length of the record stream (see run_writer.cc), as the writer counted it.
    uint64_t byte_count = 0;
    // What the file takes on disk (its blocks and their headers); 0 until it is finished.
    uint64_t file_bytes = 0;
};

}  // namespace tessarune
