// InputBuffer: one input file read in large reads into one growing buffer, from whose front
// the keying loop takes whole records. It grows only for a record longer than it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/expected.h"
#include "base/growable_array.h"
#include "run/file_ops.h"

namespace tessarune::job {

// A quarter of a MiB: the records are still in the processor's cache when the keying loop
// scans and copies them, and the buffer holds little of the job's memory.
inline constexpr size_t kReadSize = size_t{256} << 10;

class InputBuffer {
public:
    // `name` is for messages: a failed read is "read failed: NAME: REASON".
    InputBuffer(ReadableFile& file, std::string name, size_t read_size = kReadSize);

    // Reads once into the free space (made larger first when the buffer is full); a read
    // that gives nothing sets at_end().
    EngineStatus fill();
    // Drops a UTF-8 byte order mark from the start of the file: it is no part of a record.
    EngineStatus skip_bom();
    // At the end of the file: a last record that does not end in one of `ends` gets ends[0].
    void end_last_record(std::string_view ends);

    Bytes data() const { return data_.span(); }
    bool at_end() const { return at_end_; }
    // The front `count` bytes were taken.
    void drop(size_t count);
    // Bytes read since the last call.
    uint64_t take_new_bytes() { return std::exchange(new_bytes_, 0); }

private:
    ReadableFile& file_;
    std::string name_;
    ByteBuffer data_;
    uint64_t new_bytes_ = 0;
    bool at_end_ = false;
};

}  // namespace tessarune::job
