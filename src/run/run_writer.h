// RunWriter: writes one sorted run file of LZ4-compressed 128 KiB blocks.
// (The file format is documented at the top of run_writer.cc.)
//
// Calling order: open_run_writer, write_record once per record in sorted order, finish_run.
// After any error the writer is not used again; the caller drops it. Dropping an unfinished
// writer writes out what its write buffer holds (errors ignored) and closes the file; the
// file stays until the spill directory is removed.
//
// Thread safety: one thread at a time; only the compression of a group of blocks runs on
// the pool's workers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/expected.h"
#include "base/growable_array.h"
#include "run/file_ops.h"
#include "run/run_info.h"

namespace tessarune {

class RecordBuffer;
class RunWriter;
class SortPool;
class SpillDir;

inline constexpr uint32_t kRawBlockSize = 131072;
// Two writes of 256 KiB in flight keep the disk busy; more would only hold memory that the
// records could use.
inline constexpr size_t kWriteBufferSize = 524288;
// Compressed length, raw length, checksum of the raw bytes.
inline constexpr size_t kBlockHeaderSize = 16;

// 20 + floor(n * 110 / 100): the largest compressed length a block of n raw bytes may have.
constexpr uint64_t block_bound(uint64_t n) { return 20 + n * 110 / 100; }

// Creates a new run file inside a spill directory (fails if anything has its name); path is
// the run's full path, used for messages and kept in its RunInfo. The number of blocks
// compressed together is 1 without a pool, else min(workers, 16): each worker compresses one
// block of a group, and more slots would hold memory without more parallel work. With a pool,
// the 512 KiB write buffer is two halves: a worker writes one to the file while the writer
// fills the other, and a failed write is reported by a later call (at the latest
// finish_run). Errors are worded "<path>: <system message>".
EngineResult<std::unique_ptr<RunWriter>> open_run_writer(const SpillDir& dir, std::string path,
                                                      std::shared_ptr<SortPool> pool);

class RunWriter {
public:
    // What open_run_writer calls with the file it made.
    RunWriter(std::unique_ptr<WritableFile> file, std::string path, std::shared_ptr<SortPool> pool);
    ~RunWriter();
    RunWriter(const RunWriter&) = delete;
    RunWriter& operator=(const RunWriter&) = delete;

    EngineStatus write_record(Bytes key, Bytes payload);
    // A record whose payload is key bytes 1 to K - 3: the key alone is stored, and of a
    // line's key (40 x 00 00) only x. REQUIRES: 3 <= key size < 2^32.
    EngineStatus write_record_payload_in_key(Bytes key);
    // Every record of a buffer in its entry order (a sorted half), as write_record and
    // write_record_payload_in_key would write them one by one.
    EngineStatus write_buffer(const RecordBuffer& buffer);
    // Compresses and stores what is left, writes the write buffer out, closes the file (an
    // error that the close reports is the run's error too). REQUIRES: not called twice.
    EngineResult<RunInfo> finish_run();

    uint64_t record_count() const { return record_count_; }
    uint64_t byte_count() const { return byte_count_; }  // of the record stream so far
    size_t group_size() const;  // n, the number of block slots

private:
    struct Impl;
    template <bool InKey>
    EngineStatus write(Bytes key, Bytes payload);
    std::unique_ptr<Impl> impl_;
    uint64_t record_count_ = 0;
    uint64_t byte_count_ = 0;
};

}  // namespace tessarune
