// RunReader: reads one run file back, one record at a time, checking everything it reads.
//
// Holds at most one block in memory, decompressed where it was read (131,634 bytes once the
// first block is read). Every
// error names the run file: "<path> is corrupt: ...", "<path> ended before its last record",
// or "<path>: <system message>".
#pragma once

#include <memory>

#include "base/little_endian.h"
#include "base/merge_source.h"
#include "run/file_ops.h"
#include "run/run_info.h"

namespace tessarune {

class RunReader;
class SpillDir;

// Opens a run inside a spill directory, relative to it; allocates nothing yet. Errors:
// "<path>: <system message>". A run without records is never read, so its file is not
// opened (it need not exist). The run is read once: what the reader has read is dropped
// from the file as it goes (every MiB), so the file cannot be read a second time.
EngineResult<std::unique_ptr<RunReader>> open_run_reader(const SpillDir& dir, const RunInfo& info);

class RunReader final : public MergeSource {
public:
    // What open_run_reader calls with the file it opened (none for a run without records).
    RunReader(std::unique_ptr<ReadableFile> file, const RunInfo& info, bool drop_read);
    ~RunReader() override;
    using MergeSource::next_record;
    // A record that lies whole in the current block is viewed right there; one that straddles
    // blocks is assembled in two buffers of the reader's own, which grow to the largest such
    // record. Either way the views are invalidated by the next call: it may load the next
    // block over the current one, or assemble the next record over the last.
    EngineResult<NextRecord> next_record(RecordView& out) override {
        if (at_.records_left != 0 && view_whole_record(out)) {
            --at_.records_left;
            return NextRecord::Record;
        }
        return next_record_slow(out);
    }

    // Where the reader stands: the unread part of the current block, and what is left of the
    // run by its RunInfo. Kept here rather than behind the pointer to the rest so that the
    // usual case of next_record is a few instructions, inlined where the caller knows it
    // holds a RunReader.
    struct Cursor {
        const uint8_t* next = nullptr;
        const uint8_t* block_end = nullptr;
        uint64_t records_left = 0;
        uint64_t bytes_left = 0;
    };

private:
    struct Impl;

    // The usual case, in one go: the whole record lies in the current block and within the
    // run's byte count. Anything else (a record across blocks, a payload of 2^32 - 1 bytes, a
    // damaged length or flag) is left to next_record_slow, which makes every check in order.
    bool view_whole_record(RecordView& out) {
        const uint8_t* at = at_.next;
        const size_t available = static_cast<size_t>(at_.block_end - at);
        if (available < 8) return false;
        const uint64_t k = load_le32(at);
        if (available - 8 < k) return false;
        const uint64_t p = load_le32(at + 4 + k);
        const bool in_key = p == kPayloadLengthEscape;
        const uint64_t total = in_key ? 9 + k : 8 + k + p;
        if (available < total || at_.bytes_left < total) return false;
        if (in_key && (at[8 + k] != kFlagPayloadInKey || k < 3)) return false;
        out.key = Bytes(at + 4, k);
        out.payload = in_key ? payload_from_key(out.key) : Bytes(at + 8 + k, p);
        out.payload_in_key = in_key;
        at_.next = at + total;
        at_.bytes_left -= total;
        prefetch_next();
        return true;
    }
    // A merge reads many runs in turn, so a run's next record is read long after this one,
    // by which time a block of each run no longer fits in the cache: fetch its first lines
    // now, while the other runs' records are compared.
    void prefetch_next() const {
        __builtin_prefetch(at_.next);
        __builtin_prefetch(at_.next + 64);
    }
    // The end, or a record that view_whole_record does not take.
    EngineResult<NextRecord> next_record_slow(RecordView& out);

    Cursor at_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessarune
