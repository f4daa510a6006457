// Run file format
// ===============
//
// A run is one sorted sequence of records. Its uncompressed content, the record stream, is
// the records back to back, with no alignment, separator or count. A record starts with its
// head V, a number whose low 2 bits are the record's kind and whose other bits a length N
// (bytes in hex):
//
//     kind 0, a line       V, then N bytes x. The key is 40 x 00 00 (40 is TAG_BYTES),
//                          the payload x.
//     kind 1, key only     V, then the N-byte key (N >= 3); the payload is key bytes 1 to
//                          N - 3, stored once.
//     kind 2, two fields   V, then the payload length P, then the N-byte key, then the
//                          P-byte payload.
//
// Kind 3 is never written. V and P are unsigned LEB128: 7 bits a byte, least significant
// first, the top bit set on every byte but the last; N and P are below 2^32, so each takes
// at most 5 bytes.
//
// A record whose payload is its key's bytes 1 to K - 3 is a line when the key starts with
// 40 and ends with 00 00 (a bytes key: tag, bytes, end, as a whole line is keyed), otherwise
// kind 1. So a line of n bytes, as its own key and payload, takes n + 1 bytes in the stream
// for n < 32, n + 2 for n < 4096; a record with a key under 32 bytes and a payload under 128,
// K + P + 2.
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
#include <chrono>
#include <cstring>
#include <vector>

#include "base/little_endian.h"
#include "base/record_buffer.h"
#include "base/sort_pool.h"
#include "run/block_hash.h"
#include "run/compression_pace.h"
#include "run/record_framing.h"
#include "run/spill_dir.h"

namespace tessarune {
namespace {

constexpr size_t kMaxGroupSize = 16;
// LZ4's bound, n + n / 255 + 16, stays below the format's for every n; so at a full block.
static_assert(LZ4_COMPRESSBOUND(kRawBlockSize) <= block_bound(kRawBlockSize));

// One block in preparation: its raw bytes, then the same bytes stored (header + LZ4 block).
struct BlockSlot {
    ByteBuffer raw;         // capacity kRawBlockSize from the first byte on
    ByteBuffer compressed;  // grown to 16 + block_bound(R) when needed, then kept
    size_t stored_size = 0;
    uint64_t compress_ns = 0;
};

struct WriteTiming {
    uint64_t bytes = 0;
    uint64_t ns = 0;
};

uint64_t now_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// A record as it goes into the stream: its head (and payload length), then one or two
// spans of its own bytes.
struct Framed {
    uint8_t head[2 * kMaxVarintBytes];
    size_t head_size;
    Bytes first;
    Bytes second;
    uint64_t size() const { return head_size + first.size() + second.size(); }
};

template <bool InKey>
inline Framed frame(Bytes key, Bytes payload) {
    Framed f;
    const uint64_t k = key.size();
    if (!InKey) {
        f.head_size = put_varint(f.head, k << kKindBits | kTwoFieldRecord);
        f.head_size += put_varint(f.head + f.head_size, payload.size());
        f.first = key;
        f.second = payload;
    } else if (is_line_key(key)) {
        f.head_size = put_varint(f.head, (k - 3) << kKindBits | kLineRecord);
        f.first = key.subspan(1, k - 3);
    } else {
        f.head_size = put_varint(f.head, k << kKindBits | kInKeyRecord);
        f.first = key;
    }
    return f;
}

// Copies n bytes to `to` and moves it past them; an empty span may carry a null pointer.
inline void put_bytes(uint8_t*& to, const uint8_t* bytes, size_t n) {
    if (n != 0) std::memcpy(to, bytes, n);
    to += n;
}

// Lays the record out at the end of the block if it ends inside it, so that the block does
// not fill: the bytes it took, or 0 (nothing done) when it does not fit so.
inline uint64_t put_inside(ByteBuffer& raw, const Framed& f) {
    const uint64_t total = f.size();
    if (raw.capacity() - raw.size() <= total) return 0;
    uint8_t* to = raw.data() + raw.size();
    put_bytes(to, f.head, f.head_size);
    put_bytes(to, f.first.data(), f.first.size());
    put_bytes(to, f.second.data(), f.second.size());
    raw.set_size(raw.size() + total);
    return total;
}

void compress_slot(BlockSlot& slot, int acceleration) {
    const size_t raw_length = slot.raw.size();
    const size_t needed = kBlockHeaderSize + block_bound(raw_length);
    if (slot.compressed.size() < needed) {
        slot.compressed.set_capacity(needed);
        slot.compressed.resize(needed);
    }
    const uint64_t start = now_ns();
    const int compressed_length = LZ4_compress_fast(
        reinterpret_cast<const char*>(slot.raw.data()),
        reinterpret_cast<char*>(slot.compressed.data() + kBlockHeaderSize),
        static_cast<int>(raw_length),
        static_cast<int>(slot.compressed.size() - kBlockHeaderSize), acceleration);
    slot.compress_ns = now_ns() - start;
    // LZ4 fails only for want of room, and the room is its bound.
    TR_CHECK(compressed_length > 0);
    store_le32(slot.compressed.data(), static_cast<uint32_t>(compressed_length));
    store_le32(slot.compressed.data() + 4, static_cast<uint32_t>(raw_length));
    store_le64(slot.compressed.data() + 8, block_hash(slot.raw.data(), raw_length));
    slot.stored_size = kBlockHeaderSize + static_cast<size_t>(compressed_length);
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

    ~Impl() {
        if (!file) return;
        // Best effort: the run is unfinished and useless anyway.
        if (settle()) {
            (void)write_now(writing);
            (void)write_now(write_buffer);
        }
    }

    // Appends a record to the current block, or through the blocks it straddles.
    EngineStatus put(const Framed& f) {
        if (put_inside(slots[filled].raw, f) != 0) return {};
        TR_RETURN_IF_ERROR(append(f.head, f.head_size));
        TR_RETURN_IF_ERROR(append(f.first.data(), f.first.size()));
        return append(f.second.data(), f.second.size());
    }

    EngineStatus append(const uint8_t* bytes, size_t n) {
        while (n != 0) {
            ByteBuffer& raw = slots[filled].raw;
            if (raw.capacity() == 0) raw.set_capacity(kRawBlockSize);
            const size_t take = std::min<size_t>(n, kRawBlockSize - raw.size());
            std::memcpy(raw.data() + raw.size(), bytes, take);
            raw.set_size(raw.size() + take);
            bytes += take;
            n -= take;
            if (raw.size() == kRawBlockSize && ++filled == slots.size()) TR_RETURN_IF_ERROR(flush_group());
        }
        return {};
    }

    EngineStatus flush_group() {
        size_t m = 0;
        while (m < slots.size() && slots[m].raw.size() != 0) ++m;
        if (m == 0) return {};
        const auto compress = [this](size_t i) { compress_slot(slots[i], pace.acceleration(i)); };
        if (m > 1) {
            pool->run(m, compress);  // a group of more than one block has a pool
        } else {
            compress(0);
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
            if (write_buffer.capacity() - write_buffer.size() < slot.stored_size) TR_RETURN_IF_ERROR(write_out());
            write_buffer.append(slot.compressed.data(), slot.stored_size);
            slots[i].raw.clear();
        }
        filled = 0;
        return {};
    }

    // Hands the full write buffer on to be written, and goes on with an empty one.
    EngineStatus write_out() {
        if (!pool) return write_now(write_buffer);
        TR_RETURN_IF_ERROR(settle());
        std::swap(write_buffer, writing);
        in_flight = pool->start([this] { write_status = write_all(writing, writing_timing); });
        return {};
    }

    EngineStatus settle() {
        in_flight.wait();
        note_written(std::exchange(writing_timing, {}));
        return std::exchange(write_status, {});
    }

    EngineStatus write_now(ByteBuffer& buffer) {
        WriteTiming timing;
        EngineStatus s = write_all(buffer, timing);
        note_written(timing);
        return s;
    }

    void note_written(const WriteTiming& timing) {
        pace.note_write(timing.bytes, timing.ns);
        file_bytes += timing.bytes;
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
                status = Unexpected(EngineError(ErrorKind::WriteZero, "failed to write the buffered data"));
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

EngineResult<std::unique_ptr<RunWriter>> open_run_writer(const SpillDir& dir, std::string path,
                                                      std::shared_ptr<SortPool> pool) {
    EngineResult<std::unique_ptr<WritableFile>> file = dir.create_file(file_name_of(path));
    if (!file) return Unexpected(file.error().at_path(path));
    return std::make_unique<RunWriter>(std::move(file).value(), std::move(path), std::move(pool));
}

RunWriter::RunWriter(std::unique_ptr<WritableFile> file, std::string path, std::shared_ptr<SortPool> pool)
    : impl_(std::make_unique<Impl>()) {
    Impl& w = *impl_;
    w.path = std::move(path);
    w.file = std::move(file);
    w.write_buffer.set_capacity(pool ? kWriteBufferSize / 2 : kWriteBufferSize);
    if (pool) w.writing.set_capacity(kWriteBufferSize / 2);
    w.slots.resize(pool ? std::min(pool->worker_count(), kMaxGroupSize) : 1);
    w.pool = std::move(pool);
}

RunWriter::~RunWriter() = default;

size_t RunWriter::group_size() const { return impl_->slots.size(); }

// Inlined into its callers, for whom a call per record would be a cost of its own.
template <bool InKey>
[[gnu::always_inline]] inline EngineStatus RunWriter::write(Bytes key, Bytes payload) {
    TR_CHECK(key.size() <= UINT32_MAX && payload.size() <= UINT32_MAX);
    TR_CHECK(impl_->file != nullptr);
    const Framed f = frame<InKey>(key, payload);
    EngineStatus s = impl_->put(f);
    if (!s) return Unexpected(s.error().at_path(impl_->path));
    ++record_count_;
    byte_count_ += f.size();
    return {};
}

// Out of line, also for write_buffer: the loop that copies a half's records stays small.
[[gnu::noinline]] EngineStatus RunWriter::write_record(Bytes key, Bytes payload) { return write<false>(key, payload); }

[[gnu::noinline]] EngineStatus RunWriter::write_record_payload_in_key(Bytes key) {
    TR_CHECK(key.size() >= 3);
    return write<true>(key, Bytes());
}

EngineStatus RunWriter::write_buffer(const RecordBuffer& buffer) {
    TR_CHECK(impl_->file != nullptr);
    // Sorted entries visit the arena in random order: a few records ahead are fetched, their
    // first and last bytes (a line's key ends on the next cache line, and its last bytes are
    // looked at first), so that copying them does not wait on memory each time.
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
            const RecordEntry& ahead = entries[i + kPrefetchDistance];
            const uint8_t* start = arena + entry_offset(ahead);
            __builtin_prefetch(start);
            __builtin_prefetch(start + ahead.key_length + ahead.payload_length - 1);
        }
        const RecordEntry& e = entries[i];
        const uint64_t offset = entry_offset(e);
        const size_t k = e.key_length;
        const Bytes key(arena + offset, k);
        ByteBuffer& raw = w.slots[w.filled].raw;
        // Each kind apart, so that neither tests for the other in its copying.
        if (payload_in_key(e)) {
            TR_CHECK(offset <= arena_size && k <= arena_size - offset && k >= 3);
            if (const uint64_t took = put_inside(raw, frame<true>(key, Bytes()))) {
                records += 1;
                bytes += took;
                continue;
            }
            status = write_record_payload_in_key(key);
        } else {
            TR_CHECK(offset <= arena_size && k + e.payload_length <= arena_size - offset);
            const Bytes payload(arena + offset + k, e.payload_length);
            if (const uint64_t took = put_inside(raw, frame<false>(key, payload))) {
                records += 1;
                bytes += took;
                continue;
            }
            status = write_record(key, payload);
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
    if (!s) return Unexpected(s.error().at_path(w.path));
    // Some file systems report a failed write only here; a run that did not reach the disk
    // must not be read back as if it had.
    EngineStatus closed = w.file->close();
    w.file.reset();
    if (!closed) return Unexpected(closed.error().at_path(w.path));
    return RunInfo{std::move(w.path), record_count_, byte_count_, w.file_bytes};
}

}  // namespace tessarune
