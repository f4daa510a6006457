// Run file format
// ===============
//
// A run is one sorted sequence of records. Its uncompressed content, the record stream, is
// the records back to back, each laid out as
//
//     key length K      4 bytes, unsigned, little-endian
//     key               K bytes
//     payload length P  4 bytes, unsigned, little-endian
//     payload           P bytes
//
// so a record takes 8 + K + P bytes; there is no alignment, separator or count.
//
// A payload length field of FFFFFFFF is followed by one flag byte. Flag 00: a payload of
// exactly 2^32 - 1 bytes follows, as usual. Flag 01: the record has no payload bytes of its
// own; its payload is key bytes 1 to K - 3 (K >= 3), so the record takes 9 + K bytes. That
// keeps a line added as both key and payload once in the run instead of twice.
//
// The stream is cut into raw blocks of exactly 131072 bytes (128 KiB); the last one holds
// the rest, 1 to 131072 bytes. The cuts ignore record boundaries: a length field, a key or a
// payload may be split over two or more blocks. An empty stream has no blocks.
//
// The file is the blocks in stream order, nothing before the first and nothing after the
// last. Each block is stored as
//
//     offset 0   C   compressed length, 4 bytes, unsigned, little-endian
//     offset 4   R   raw length, 4 bytes, unsigned, little-endian
//     offset 8   H   XXH3 64-bit hash (seed 0) of the R raw bytes, 8 bytes, little-endian
//     offset 16      C bytes: the R raw bytes as one raw LZ4 block (no frame, no size
//                    prefix, no checksum of its own)
//
// Every block is stored compressed, even when C > R, and satisfies
//     C >= 1;  1 <= R <= 131072, R = 131072 for all but the last block;
//     C <= block_bound(R) = 20 + floor(R * 110 / 100)   (144,199 for a full block);
//     the C bytes decompress to exactly R bytes, whose hash is H.
//
// LZ4 alone cannot see damage: a changed literal or match offset still decompresses to R
// bytes, only different ones. The hash is checked before any record of the block is handed
// out, so damage is reported instead of read back as other keys or payloads.
//
// There is no magic number, version, index or trailer: a run is read back only by the
// process that wrote it, which keeps the record count and the stream length in the run's
// RunInfo.
#include "run/run_writer.h"

#include <lz4.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "base/little_endian.h"
#include "base/record_buffer.h"
#include "base/sort_pool.h"
#include "run/block_hash.h"
#include "run/compression_pace.h"
#include "run/spill_dir.h"

namespace tessarune {
namespace {

constexpr size_t kMaxGroupSize = 16;

// One block in preparation: its raw bytes, then the same bytes stored (header + LZ4 block).
struct BlockSlot {
    ByteBuffer raw;         // capacity kRawBlockSize from the first byte on
    ByteBuffer compressed;  // grown to 8 + block_bound(R) when needed, then kept
    size_t stored_size = 0;
    uint64_t compress_ns = 0;
};

// Bytes written to the file and the time the writes took.
struct WriteTiming {
    uint64_t bytes = 0;
    uint64_t ns = 0;
};

uint64_t now_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Empty spans may carry a null pointer, which memcpy must not receive.
inline void copy_bytes(uint8_t* to, const uint8_t* from, size_t n) {
    if (n != 0) std::memcpy(to, from, n);
}

// Lays out a record whose payload is inside its key, 9 + k bytes at `to`: the key length,
// the key, the escaped payload length and the mark.
inline void put_record_payload_in_key(uint8_t* to, const uint8_t* key, size_t k) {
    store_le32(to, static_cast<uint32_t>(k));
    std::memcpy(to + 4, key, k);
    store_le32(to + 4 + k, kPayloadLengthEscape);
    to[8 + k] = kFlagPayloadInKey;
}

bool compress_slot(BlockSlot& slot, int acceleration) {
    const size_t raw_length = slot.raw.size();
    const size_t needed = kBlockHeaderSize + block_bound(raw_length);
    if (slot.compressed.size() < needed) {
        slot.compressed.set_capacity(needed);
        slot.compressed.resize(needed);
    }
    // The stored length must stay within the format's bound, which the reader enforces.
    TR_CHECK(static_cast<uint64_t>(LZ4_compressBound(static_cast<int>(raw_length))) <=
             block_bound(raw_length));
    const uint64_t start = now_ns();
    const int compressed_length = LZ4_compress_fast(
        reinterpret_cast<const char*>(slot.raw.data()),
        reinterpret_cast<char*>(slot.compressed.data() + kBlockHeaderSize),
        static_cast<int>(raw_length),
        static_cast<int>(slot.compressed.size() - kBlockHeaderSize), acceleration);
    slot.compress_ns = now_ns() - start;
    if (compressed_length <= 0) return false;
    store_le32(slot.compressed.data(), static_cast<uint32_t>(compressed_length));
    store_le32(slot.compressed.data() + 4, static_cast<uint32_t>(raw_length));
    store_le64(slot.compressed.data() + 8, block_hash(slot.raw.data(), raw_length));
    slot.stored_size = kBlockHeaderSize + static_cast<size_t>(compressed_length);
    return true;
}

}  // namespace

struct RunWriter::Impl {
    std::string path;
    std::unique_ptr<WritableFile> file;  // null once finished
    ByteBuffer write_buffer;
    std::vector<BlockSlot> slots;
    size_t filled = 0;
    std::shared_ptr<SortPool> pool;
    CompressionPace pace;
    // With a pool, half of the write buffer is written to the file by a worker while this
    // thread fills the other half: a write into the page cache costs about as much as merging
    // the bytes, and the two overlap instead of taking turns. `writing` and `write_status`
    // belong to the worker until `in_flight` is waited for.
    ByteBuffer writing;
    EngineStatus write_status;
    WriteTiming writing_timing;
    SortPool::Pending in_flight;  // declared after `pool`, so destroyed (waited for) first
    uint64_t file_bytes = 0;      // written to the file so far, by this thread's count

    void note_written(const WriteTiming& timing) {
        pace.note_write(timing.bytes, timing.ns);
        file_bytes += timing.bytes;
    }

    ~Impl() {
        if (!file) return;
        // Best effort: the run is unfinished and useless anyway.
        if (settle()) {
            (void)write_now(writing);
            (void)write_now(write_buffer);
        }
    }

    EngineError wrap(const EngineError& e) const { return e.at_path(path); }

    // Appends a record through the block slots, where it may straddle blocks: the key length,
    // the key, the payload length field (kPayloadLengthEscape followed by `flag`, or the
    // length), the payload.
    EngineStatus append_record(Bytes key, Bytes payload, bool escaped, uint8_t flag) {
        uint8_t field[5];
        store_le32(field, static_cast<uint32_t>(key.size()));
        EngineStatus s = append(field, 4);
        if (s) s = append(key.data(), key.size());
        store_le32(field, escaped ? kPayloadLengthEscape : static_cast<uint32_t>(payload.size()));
        field[4] = flag;
        if (s) s = append(field, escaped ? 5 : 4);
        if (s) s = append(payload.data(), payload.size());
        return s;
    }

    // Appends bytes to the record stream through the block slots.
    EngineStatus append(const uint8_t* bytes, size_t n) {
        while (n != 0) {
            ByteBuffer& raw = slots[filled].raw;
            if (raw.capacity() == 0) raw.set_capacity(kRawBlockSize);
            const size_t take = std::min<size_t>(n, kRawBlockSize - raw.size());
            std::memcpy(raw.data() + raw.size(), bytes, take);
            raw.set_size(raw.size() + take);
            bytes += take;
            n -= take;
            if (raw.size() == kRawBlockSize) {
                EngineStatus s = block_full();
                if (!s) return s;
            }
        }
        return {};
    }

    EngineStatus block_full() {
        ++filled;
        if (filled < slots.size()) return {};
        return flush_group();
    }

    EngineStatus flush_group() {
        size_t m = 0;
        while (m < slots.size() && slots[m].raw.size() != 0) ++m;
        if (m == 0) return {};
        if (!compress_group(m)) {
            return Unexpected(EngineError(ErrorKind::Other, "failed to compress a block"));
        }
        CompressionTally thorough, fast;
        for (size_t i = 0; i < m; ++i) {
            const BlockSlot& slot = slots[i];
            CompressionTally& tally = pace.acceleration(i) == kFastAcceleration ? fast : thorough;
            tally.add(slot.raw.size(), slot.stored_size - kBlockHeaderSize, slot.compress_ns);
        }
        pace.note_group(m, thorough, fast);
        for (size_t i = 0; i < m; ++i) {
            const BlockSlot& slot = slots[i];
            if (write_buffer.capacity() - write_buffer.size() < slot.stored_size) {
                EngineStatus s = write_out();
                if (!s) return s;
            }
            std::memcpy(write_buffer.data() + write_buffer.size(), slot.compressed.data(),
                        slot.stored_size);
            write_buffer.set_size(write_buffer.size() + slot.stored_size);
        }
        for (size_t i = 0; i < m; ++i) slots[i].raw.clear();
        filled = 0;
        return {};
    }

    // Compresses slots [0, m); false if one failed (the rest may then be skipped).
    bool compress_group(size_t m) {
        if (!pool || m == 1) {
            for (size_t i = 0; i < m; ++i) {
                if (!compress_slot(slots[i], pace.acceleration(i))) return false;
            }
            return true;
        }
        std::atomic<bool> failed{false};
        pool->run(m, [this, &failed](size_t i) {
            if (failed.load(std::memory_order_relaxed)) return;
            if (!compress_slot(slots[i], pace.acceleration(i))) failed.store(true, std::memory_order_relaxed);
        });
        return !failed.load(std::memory_order_relaxed);
    }

    // Hands the full write buffer on to be written, and goes on with an empty one. A failed
    // write is reported by a later call (at the latest finish_run); the run is lost either way.
    EngineStatus write_out() {
        if (!pool) return write_now(write_buffer);
        EngineStatus s = settle();
        if (!s) return s;
        std::swap(write_buffer, writing);
        in_flight = pool->start([this] { write_status = write_all(writing, writing_timing); });
        return {};
    }

    // Waits for the write in flight, if any; its result.
    EngineStatus settle() {
        in_flight.wait();
        note_written(writing_timing);
        writing_timing = {};
        EngineStatus s = std::move(write_status);
        write_status = {};
        return s;
    }

    EngineStatus write_now(ByteBuffer& buffer) {
        WriteTiming timing;
        EngineStatus s = write_all(buffer, timing);
        note_written(timing);
        return s;
    }

    // Writes the whole buffer to the file and empties it; adds what it wrote to `timing`.
    EngineStatus write_all(ByteBuffer& buffer, WriteTiming& timing) {
        const uint64_t start = now_ns();
        size_t done = 0;
        EngineStatus status;
        while (done < buffer.size()) {
            EngineResult<size_t> wrote = file->write(buffer.data() + done, buffer.size() - done);
            if (!wrote) {
                if (wrote.error().kind() == ErrorKind::Interrupted) continue;
                status = Unexpected(std::move(wrote).error());
                break;
            }
            if (*wrote == 0) {
                status = Unexpected(
                    EngineError(ErrorKind::WriteZero, "failed to write the buffered data"));
                break;
            }
            done += *wrote;
        }
        timing.bytes += done;
        timing.ns += now_ns() - start;
        // Keep only what did not reach the file, so that a retry never writes bytes twice.
        const size_t rest = buffer.size() - done;
        if (rest != 0 && done != 0) std::memmove(buffer.data(), buffer.data() + done, rest);
        buffer.set_size(rest);
        return status;
    }
};

EngineResult<std::unique_ptr<RunWriter>> open_run_writer(const std::shared_ptr<FileOps>& ops,
                                                      std::string path,
                                                      std::shared_ptr<SortPool> pool) {
    EngineResult<std::unique_ptr<WritableFile>> file = ops->create_new_file(path);
    return start_writer(std::move(file), std::move(path), std::move(pool));
}

EngineResult<std::unique_ptr<RunWriter>> open_run_writer(const SpillDir& dir, std::string path,
                                                      std::shared_ptr<SortPool> pool) {
    EngineResult<std::unique_ptr<WritableFile>> file = dir.create_file(file_name_of(path));
    return start_writer(std::move(file), std::move(path), std::move(pool));
}

EngineResult<std::unique_ptr<RunWriter>> start_writer(EngineResult<std::unique_ptr<WritableFile>> file,
                                                  std::string path, std::shared_ptr<SortPool> pool) {
    if (!file) return Unexpected(file.error().at_path(path));
    auto impl = std::make_unique<RunWriter::Impl>();
    impl->path = std::move(path);
    impl->file = std::move(file).value();
    if (pool) {
        impl->write_buffer.set_capacity(kWriteBufferSize / 2);
        impl->writing.set_capacity(kWriteBufferSize / 2);
    } else {
        impl->write_buffer.set_capacity(kWriteBufferSize);
    }
    const size_t n = pool ? std::min(2 * pool->worker_count(), kMaxGroupSize) : 1;
    impl->slots.resize(n);
    impl->pool = std::move(pool);
    return std::unique_ptr<RunWriter>(new RunWriter(std::move(impl)));
}

RunWriter::RunWriter(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RunWriter::~RunWriter() = default;

size_t RunWriter::group_size() const { return impl_->slots.size(); }

EngineStatus RunWriter::write_record(Bytes key, Bytes payload) {
    TR_CHECK(key.size() <= UINT32_MAX && payload.size() <= UINT32_MAX);
    TR_CHECK(impl_->file != nullptr);
    Impl& w = *impl_;
    const size_t k = key.size();
    const size_t p = payload.size();
    const size_t total = 8 + k + p;
    ByteBuffer& raw = w.slots[w.filled].raw;
    if (p == kPayloadLengthEscape) {
        EngineStatus s = w.append_record(key, payload, true, kFlagPayloadFollows);
        if (!s) return Unexpected(w.wrap(s.error()));
        ++record_count_;
        byte_count_ += total + 1;
        return {};
    }
    if (raw.capacity() - raw.size() >= total) {
        // The usual case: the whole record fits in the current block.
        uint8_t* to = raw.data() + raw.size();
        store_le32(to, static_cast<uint32_t>(k));
        copy_bytes(to + 4, key.data(), k);
        store_le32(to + 4 + k, static_cast<uint32_t>(p));
        copy_bytes(to + 8 + k, payload.data(), p);
        raw.set_size(raw.size() + total);
        if (raw.size() == kRawBlockSize) {
            EngineStatus s = w.block_full();
            if (!s) return Unexpected(w.wrap(s.error()));
        }
    } else {
        EngineStatus s = w.append_record(key, payload, false, 0);
        if (!s) return Unexpected(w.wrap(s.error()));
    }
    ++record_count_;
    byte_count_ += total;
    return {};
}

EngineStatus RunWriter::write_record_payload_in_key(Bytes key) {
    TR_CHECK(key.size() >= 3 && key.size() <= UINT32_MAX);
    TR_CHECK(impl_->file != nullptr);
    Impl& w = *impl_;
    const size_t k = key.size();
    const size_t total = 9 + k;
    ByteBuffer& raw = w.slots[w.filled].raw;
    if (raw.capacity() - raw.size() >= total) {
        put_record_payload_in_key(raw.data() + raw.size(), key.data(), k);
        raw.set_size(raw.size() + total);
        if (raw.size() == kRawBlockSize) {
            EngineStatus s = w.block_full();
            if (!s) return Unexpected(w.wrap(s.error()));
        }
    } else {
        EngineStatus s = w.append_record(key, Bytes(), true, kFlagPayloadInKey);
        if (!s) return Unexpected(w.wrap(s.error()));
    }
    ++record_count_;
    byte_count_ += total;
    return {};
}

EngineStatus RunWriter::write_buffer(const RecordBuffer& buffer) {
    TR_CHECK(impl_->file != nullptr);
    // Sorted entries visit the arena in random order: a few records ahead are fetched so that
    // copying them does not wait on memory each time.
    constexpr size_t kPrefetchDistance = 8;
    Impl& w = *impl_;
    const size_t count = buffer.record_count();
    const RecordEntry* entries = buffer.entries().data();
    const uint8_t* arena = buffer.arena().data();
    const uint64_t arena_size = buffer.arena().size();
    // Counted here and added once: a byte store into a block could alias the members, which
    // the compiler would otherwise reload and store for every record.
    uint64_t records = 0;
    uint64_t bytes = 0;
    EngineStatus status;
    for (size_t i = 0; i < count; ++i) {
        if (i + kPrefetchDistance < count) {
            __builtin_prefetch(arena + entry_offset(entries[i + kPrefetchDistance]));
        }
        const RecordEntry& e = entries[i];
        const uint64_t offset = entry_offset(e);
        const size_t k = e.key_length;
        TR_CHECK(offset <= arena_size && k <= arena_size - offset);
        if (payload_in_key(e)) {
            // The usual case of a lines sort: the record ends inside the current block.
            ByteBuffer& raw = w.slots[w.filled].raw;
            const size_t total = 9 + k;
            if (k >= 3 && raw.capacity() - raw.size() > total) {
                put_record_payload_in_key(raw.data() + raw.size(), arena + offset, k);
                raw.set_size(raw.size() + total);
                records += 1;
                bytes += total;
                continue;
            }
            status = write_record_payload_in_key(buffer.key_of(i));
        } else {
            status = write_record(buffer.key_of(i), buffer.payload_of(i));
        }
        if (!status) break;
    }
    record_count_ += records;
    byte_count_ += bytes;
    return status;
}

EngineResult<RunInfo> RunWriter::finish_run() {
    TR_CHECK(impl_->file != nullptr);
    Impl& w = *impl_;
    EngineStatus s = w.flush_group();
    if (s) s = w.settle();
    if (s) s = w.write_now(w.write_buffer);
    if (!s) return Unexpected(w.wrap(s.error()));
    // Some file systems report a failed write only here; a run that did not reach the disk
    // must not be read back as if it had.
    EngineStatus closed = w.file->close();
    w.file.reset();
    if (!closed) return Unexpected(w.wrap(closed.error()));
    return RunInfo{std::move(w.path), record_count_, byte_count_, w.file_bytes};
}

}  // namespace tessarune
