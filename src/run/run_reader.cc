#include "run/run_reader.h"

#include <lz4.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "base/little_endian.h"
#include "run/block_hash.h"
#include "run/run_writer.h"
#include "run/spill_dir.h"

namespace tessarune {
namespace {

// A block is decompressed in place: its stored bytes are read to the end of the buffer the
// raw bytes are decoded into, from its start, and the decoder's writes never catch up with
// its reads when the buffer is larger than the raw bytes by LZ4's margin. Every block that
// LZ4 compressed fits so (its stored length is at most LZ4_COMPRESSBOUND): a merge of many
// runs then holds one block buffer per run rather than two.
// The margin is LZ4's own rule for in-place decoding (lz4.h, outside its stable interface).
constexpr size_t in_place_margin(size_t stored) { return (stored >> 8) + 32; }
constexpr size_t kInPlaceCapacity = kRawBlockSize + in_place_margin(LZ4_COMPRESSBOUND(kRawBlockSize));
static_assert(LZ4_COMPRESSBOUND(kRawBlockSize) <= kInPlaceCapacity);
// The next block's header is read along with a block, behind it.
constexpr size_t kBlockCapacity = kInPlaceCapacity + kBlockHeaderSize;
constexpr uint64_t kDropStep = uint64_t{1} << 20;

bool fits_in_place(size_t c, size_t r) {
    return c <= kInPlaceCapacity && r + in_place_margin(c) <= kInPlaceCapacity;
}

}  // namespace

struct RunReader::Impl {
    std::string path;
    std::unique_ptr<ReadableFile> file;  // null for a run without records
    // The read-ahead of the next block's header, kept out of the block buffer.
    uint8_t next_header[kBlockHeaderSize] = {};
    size_t header_ahead = 0;
    // A run in a spill directory is read once: what has been read is dropped from the file
    // every kDropStep bytes, so that its memory serves the runs and output written meanwhile
    // (a page the system has not handed out for a while can cost several times as much to
    // write into as one just freed).
    bool drop_read = false;
    uint64_t file_offset = 0;  // bytes read from the file so far
    uint64_t dropped = 0;
    ByteBuffer raw;           // kBlockCapacity bytes: the current block, R bytes from its start
    ByteBuffer oversized;     // a stored block too long to decode in place (never LZ4's own)
    // A record that straddles blocks, assembled field by field.
    ByteBuffer straddling_key;
    ByteBuffer straddling_payload;

    // With "<path>: <system message>", the texts that reach the user.
    EngineError corrupt(std::string_view check) const {
        return EngineError(ErrorKind::InvalidData, path + " is corrupt: " + std::string(check)).set_path(path);
    }
    EngineError ended_early() const {
        return EngineError(ErrorKind::UnexpectedEof, path + " ended before its last record").set_path(path);
    }

    // One or more read calls until at least `at_least` bytes are in; asks for up to `up_to`.
    EngineResult<size_t> read_at_least(uint8_t* into, size_t at_least, size_t up_to) {
        size_t got = 0;
        while (got < at_least) {
            EngineResult<size_t> r = file->read(into + got, up_to - got);
            if (!r) {
                if (r.error().kind() == ErrorKind::Interrupted) continue;
                return Unexpected(r.error().at_path(path));
            }
            if (*r == 0) return Unexpected(ended_early());
            got += *r;
        }
        file_offset += got;
        if (drop_read && file_offset - dropped >= kDropStep) {
            file->drop_before(file_offset);
            dropped = file_offset;
        }
        return got;
    }

    EngineStatus load_block(Cursor& at) {
        uint8_t header[kBlockHeaderSize];
        const size_t ahead = std::exchange(header_ahead, 0);
        std::memcpy(header, next_header, ahead);
        if (ahead < kBlockHeaderSize) {
            TR_RETURN_IF_ERROR(read_at_least(header + ahead, kBlockHeaderSize - ahead, kBlockHeaderSize - ahead));
        }
        const uint32_t c = load_le32(header);
        const uint32_t r = load_le32(header + 4);
        // Checked before anything is allocated or read, so a damaged header cannot make the
        // reader ask for more memory than one full block needs.
        if (c == 0 || r == 0 || r > kRawBlockSize || c > block_bound(r)) {
            return Unexpected(corrupt("a block has an impossible length"));
        }
        if (raw.capacity() == 0) raw.set_capacity(kBlockCapacity);
        raw.set_size(0);
        at.next = at.block_end = raw.data();
        uint8_t* stored = raw.data() + kInPlaceCapacity - c;
        if (!fits_in_place(c, r)) {
            if (oversized.capacity() < c + kBlockHeaderSize) oversized.set_capacity(c + kBlockHeaderSize);
            stored = oversized.data();
        }
        // Asking for the next block's header too makes a run cost about one read per block.
        const size_t filled = TR_TRY(read_at_least(stored, c, c + kBlockHeaderSize));
        header_ahead = filled - c;
        std::memcpy(next_header, stored + c, header_ahead);

        const int decoded = LZ4_decompress_safe(reinterpret_cast<const char*>(stored), reinterpret_cast<char*>(raw.data()),
                                                static_cast<int>(c), static_cast<int>(r));
        if (decoded < 0 || static_cast<uint32_t>(decoded) != r) {
            return Unexpected(corrupt("a block does not decompress to its length"));
        }
        if (block_hash(raw.data(), r) != load_le64(header + 8)) {
            return Unexpected(corrupt("a block's checksum does not match"));
        }
        raw.set_size(r);
        at.block_end = raw.data() + r;
        return {};
    }

    // Appends the next n bytes of the stream to `to`, loading the blocks they lie in. A field
    // that spans blocks grows `to` only with bytes actually decoded, so a damaged length
    // cannot make it allocate ahead of the data.
    EngineStatus read_stream(Cursor& at, size_t n, ByteBuffer& to) {
        while (n != 0) {
            if (at.next == at.block_end) TR_RETURN_IF_ERROR(load_block(at));
            const size_t take = std::min(n, static_cast<size_t>(at.block_end - at.next));
            to.append(at.next, take);
            at.next += take;
            n -= take;
        }
        return {};
    }

    // One byte of a record's head or payload length.
    EngineResult<uint8_t> read_byte(Cursor& at) {
        if (at.bytes_left == 0) return Unexpected(corrupt("a record is longer than the rest of the run"));
        if (at.next == at.block_end) TR_RETURN_IF_ERROR(load_block(at));
        --at.bytes_left;
        return *at.next++;
    }

    // A record's head or payload length: LEB128 of at most kMaxVarintBytes bytes, below `limit`.
    EngineResult<uint64_t> read_varint(Cursor& at, uint64_t limit) {
        uint64_t v = 0;
        for (size_t i = 0; i < kMaxVarintBytes; ++i) {
            const uint8_t byte = TR_TRY(read_byte(at));
            v |= uint64_t{byte & 0x7fu} << (7 * i);
            if (byte < 0x80) {
                if (v >= limit) break;
                return v;
            }
        }
        return Unexpected(corrupt("a record has a malformed length"));
    }

    // A key or a payload, appended to `out`.
    EngineStatus read_field(Cursor& at, uint64_t length, ByteBuffer& out) {
        if (length > at.bytes_left) return Unexpected(corrupt("a record is longer than the rest of the run"));
        at.bytes_left -= length;
        return read_stream(at, length, out);
    }
};

EngineResult<std::unique_ptr<RunReader>> open_run_reader(const SpillDir& dir, const RunInfo& info) {
    std::unique_ptr<ReadableFile> file;
    // A run without records is never read, so its file need not even be there.
    if (info.record_count != 0) {
        EngineResult<std::unique_ptr<ReadableFile>> opened = dir.open_file(file_name_of(info.path));
        if (!opened) return Unexpected(opened.error().at_path(info.path));
        file = std::move(opened).value();
    }
    return std::make_unique<RunReader>(std::move(file), info, true);
}

RunReader::RunReader(std::unique_ptr<ReadableFile> file, const RunInfo& info, bool drop_read)
    : impl_(std::make_unique<Impl>()) {
    impl_->path = info.path;
    impl_->file = std::move(file);
    impl_->drop_read = drop_read;
    at_.records_left = info.record_count;
    at_.bytes_left = info.byte_count;
}

RunReader::~RunReader() = default;

EngineResult<NextRecord> RunReader::next_record_slow(RecordView& out) {
    if (at_.records_left == 0) return NextRecord::End;
    Impl& r = *impl_;
    constexpr uint64_t kFieldLimit = uint64_t{1} << 32;
    const uint64_t head = TR_TRY(r.read_varint(at_, kFieldLimit << kKindBits));
    const uint64_t n = head >> kKindBits;
    ByteBuffer& key = r.straddling_key;
    key.clear();
    switch (head & kKindMask) {
        case kLineRecord: {
            if (n + 3 >= kFieldLimit) return Unexpected(r.corrupt("a record has a malformed length"));
            key.push_back(TAG_BYTES);
            TR_RETURN_IF_ERROR(r.read_field(at_, n, key));
            const uint8_t end[2] = {0, 0};
            key.append(end, 2);
            out.key = key.span();
            out.payload = payload_from_key(out.key);
            out.payload_in_key = true;
            break;
        }
        case kInKeyRecord:
            if (n < 3) return Unexpected(r.corrupt("a record's key cannot hold its payload"));
            TR_RETURN_IF_ERROR(r.read_field(at_, n, key));
            out.key = key.span();
            out.payload = payload_from_key(out.key);
            out.payload_in_key = true;
            break;
        case kTwoFieldRecord: {
            const uint64_t p = TR_TRY(r.read_varint(at_, kFieldLimit));
            TR_RETURN_IF_ERROR(r.read_field(at_, n, key));
            r.straddling_payload.clear();
            TR_RETURN_IF_ERROR(r.read_field(at_, p, r.straddling_payload));
            out.key = key.span();
            out.payload = r.straddling_payload.span();
            out.payload_in_key = false;
            break;
        }
        default:
            return Unexpected(r.corrupt("a record has an unknown kind"));
    }
    --at_.records_left;
    return NextRecord::Record;
}

}  // namespace tessarune
