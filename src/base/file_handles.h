// The handles of open files, read or written one call at a time: what the file operations
// (run/file_ops.h) hand out, here below them so that readers in lower layers, the line reader
// of -m and -c among them, take their input through those operations and their faults. A call interrupted by a signal
// returns kind Interrupted and the caller retries it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/expected.h"

namespace tessarune {

class WritableFile {
public:
    virtual ~WritableFile() = default;
    // One write call: writes up to n bytes and returns how many were written (maybe fewer,
    // maybe 0).
    virtual EngineResult<size_t> write(const uint8_t* data, size_t n) = 0;
    // Closes the file, reporting what the system reports: a write error may show only here.
    // Dropping a file without close() closes it and ignores the result.
    virtual EngineStatus close() = 0;
    // For files larger than the page cache should hold: starts writing `length` bytes from
    // `offset` to the disk now, so that dirty pages never pile up; with `settle`, also waits
    // until they are written and drops them from the page cache. A hint: it never changes
    // the file, and does nothing where the system cannot.
    virtual void write_behind(uint64_t offset, uint64_t length, bool settle) {
        (void)offset;
        (void)length;
        (void)settle;
    }
};

class ReadableFile {
public:
    virtual ~ReadableFile() = default;
    // One read call: reads up to n bytes and returns how many were read; 0 at the end.
    virtual EngineResult<size_t> read(uint8_t* data, size_t n) = 0;
    // Says that the bytes before `offset` will not be read again, so the file system may drop
    // them: their page-cache memory is free for what is written next, and a part of the file
    // dropped before it was written back never reaches the disk. Best effort: does nothing
    // where the file or its file system cannot. What is dropped reads back as zeros.
    virtual void drop_before(uint64_t offset) { (void)offset; }
    // Says that the bytes before `offset` will not be read again, so the page cache may drop
    // them; unlike drop_before, the file stays as it is (an input of the user's). A hint.
    virtual void uncache_before(uint64_t offset) { (void)offset; }
};

}  // namespace tessarune
