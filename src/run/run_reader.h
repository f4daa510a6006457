// RunReader: reads one run file back, one record at a time, checking everything it reads.
//
// Holds at most one block in memory, decompressed where it was read (131,634 bytes once the
// first block is read). Every
// error names the run file: "<path> is corrupt: ...", "<path> ended before its last record",
// or "<path>: <system message>".
#pragma once

#include <cstring>
#include <memory>

#include "base/merge_source.h"
#include "base/record_buffer.h"
#include "run/file_ops.h"
#include "run/record_framing.h"
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
    // block over the current one, assemble the next record over the last, or undo what
    // viewing a line changed in the block.
    EngineResult<NextRecord> next_record(RecordView& out) override {
        if (at_.patched) {
            std::memcpy(at_.next, at_.saved, 2);
            at_.patched = false;
        }
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
        uint8_t* next = nullptr;
        uint8_t* block_end = nullptr;
        uint64_t records_left = 0;
        uint64_t bytes_left = 0;
        // The two bytes at `next` as the block holds them, while a line's key viewed before
        // them ends in 00 00 written over them.
        bool patched = false;
        uint8_t saved[2] = {};
    };

private:
    struct Impl;

    // The usual case, in one go: the whole record lies in the current block and within the
    // run's byte count, and its head and payload length take 1 or 2 bytes each. Anything
    // else (a record across blocks, longer lengths, damage) is left to next_record_slow,
    // which makes every check in order.
    [[gnu::always_inline]] bool view_whole_record(RecordView& out) {
        uint8_t* at = at_.next;
        const size_t available = static_cast<size_t>(at_.block_end - at);
        if (available < 4) return false;  // room for both numbers at their longest here
        size_t head;
        const uint32_t v = short_varint(at, head);
        const size_t n = v >> kKindBits;
        size_t total = head + n;
        switch (v & kKindMask) {
            case kLineRecord: {
                if (head == 0 || available < total || at_.bytes_left < total) return false;
                // A line's key, 40 x 00 00, is viewed where it lies: over the head's last
                // byte and the next record's first two, which the next call puts back.
                uint8_t* end = at + total;
                std::memcpy(at_.saved, end, 2);
                at_.patched = true;
                at[head - 1] = TAG_BYTES;
                end[0] = 0;
                end[1] = 0;
                out.key = Bytes(at + head - 1, n + 3);
                out.payload = Bytes(at + head, n);
                out.payload_in_key = true;
                break;
            }
            case kInKeyRecord:
                if (head == 0 || n < 3 || available < total || at_.bytes_left < total) return false;
                out.key = Bytes(at + head, n);
                out.payload = payload_from_key(out.key);
                out.payload_in_key = true;
                break;
            case kTwoFieldRecord: {
                size_t length_size;
                const uint32_t p = short_varint(at + head, length_size);
                total += length_size + p;
                if (head == 0 || length_size == 0 || available < total || at_.bytes_left < total) return false;
                out.key = Bytes(at + head + length_size, n);
                out.payload = Bytes(at + head + length_size + n, p);
                out.payload_in_key = false;
                break;
            }
            default:
                return false;
        }
        at_.next = at + total;
        at_.bytes_left -= total;
        prefetch_next();
        return true;
    }
    // A number of 1 or 2 bytes at p, and its size; size 0 for a longer one.
    static uint32_t short_varint(const uint8_t* p, size_t& size) {
        if (p[0] < 0x80) {
            size = 1;
            return p[0];
        }
        size = p[1] < 0x80 ? 2 : 0;
        return (p[0] & 0x7fu) | uint32_t{p[1]} << 7;
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
