#include "run/run_reader.h"

#include <lz4.h>

#include <algorithm>
#include <cstring>

#include "run/little_endian.h"
#include "run/run_writer.h"

namespace tessarune {
namespace {

constexpr size_t kBlockHeaderSize = 8;
// The largest stored block plus the header of the next one: what one block read asks for.
constexpr size_t kCompressedCapacity = kBlockHeaderSize + block_bound(kRawBlockSize);

// Replaces the buffer's content. Records are mostly short, where a call to memcpy costs more
// than the copy itself: fixed-size chunks let the compiler copy inline.
inline void copy_field(ByteBuffer& out, const uint8_t* from, size_t n) {
    out.clear();
    out.reserve(n);
    out.set_size(n);
    uint8_t* to = out.data();
    if (n >= 16) {
        size_t i = 0;
        for (; i + 16 <= n && i < 128; i += 16) std::memcpy(to + i, from + i, 16);
        if (i + 16 <= n) {
            std::memcpy(to + i, from + i, n - i);
        } else if (i != n) {
            std::memcpy(to + n - 16, from + n - 16, 16);  // overlaps what is already copied
        }
    } else if (n >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else {
        for (size_t i = 0; i < n; ++i) to[i] = from[i];
    }
}

}  // namespace

struct RunReader::Impl {
    std::string path;
    std::unique_ptr<ReadableFile> file;  // null for a run without records
    ByteBuffer compressed;  // kCompressedCapacity bytes from the first block on
    size_t header_start = 0;  // where the read-ahead of the next header begins
    size_t filled = 0;        // bytes of `compressed` filled by the last block read
    ByteBuffer raw;           // the current block; its size is R
    size_t position = 0;      // next unread byte of `raw`
    uint64_t records_left = 0;
    uint64_t bytes_left = 0;

    // The three texts that reach the user; the system's own errors are wrapped where they
    // happen with wrap_system.
    IoError corrupt(std::string_view check) const {
        return IoError(IoErrorKind::InvalidData, path + " is corrupt: " + std::string(check));
    }
    IoError ended_early() const {
        return IoError(IoErrorKind::UnexpectedEof, path + " ended before its last record");
    }
    IoError wrap_system(const IoError& e) const { return e.with_context(path + ": "); }

    // One or more read calls until at least `at_least` bytes are in; asks for up to `up_to`.
    IoResult<size_t> read_at_least(uint8_t* into, size_t at_least, size_t up_to) {
        size_t got = 0;
        while (got < at_least) {
            IoResult<size_t> r = file->read(into + got, up_to - got);
            if (!r) {
                if (r.error().kind() == IoErrorKind::Interrupted) continue;
                return Unexpected(wrap_system(r.error()));
            }
            if (*r == 0) return Unexpected(ended_early());
            got += *r;
        }
        return got;
    }

    IoStatus load_block() {
        uint8_t header[kBlockHeaderSize];
        const size_t ahead = filled - header_start;
        if (ahead != 0) std::memcpy(header, compressed.data() + header_start, ahead);
        header_start = filled = 0;
        if (ahead < kBlockHeaderSize) {
            IoResult<size_t> r = read_at_least(header + ahead, kBlockHeaderSize - ahead,
                                               kBlockHeaderSize - ahead);
            if (!r) return Unexpected(std::move(r).error());
        }
        const uint32_t c = load_le32(header);
        const uint32_t r = load_le32(header + 4);
        // Checked before anything is allocated or read, so a damaged header cannot make the
        // reader ask for more memory than one full block needs.
        if (c == 0 || r == 0 || r > kRawBlockSize || c > block_bound(r)) {
            return Unexpected(corrupt("a block has an impossible length"));
        }
        if (compressed.capacity() == 0) {
            compressed.set_capacity(kCompressedCapacity);
            compressed.set_size(kCompressedCapacity);
            raw.set_capacity(kRawBlockSize);
        }
        // Asking for the next block's header too makes a run cost about one read per block.
        IoResult<size_t> got = read_at_least(compressed.data(), c, c + kBlockHeaderSize);
        if (!got) return Unexpected(std::move(got).error());
        header_start = c;
        filled = *got;

        raw.set_size(r);
        position = 0;
        const int decoded = LZ4_decompress_safe(reinterpret_cast<const char*>(compressed.data()),
                                                reinterpret_cast<char*>(raw.data()),
                                                static_cast<int>(c), static_cast<int>(r));
        if (decoded < 0 || static_cast<uint32_t>(decoded) != r) {
            raw.set_size(0);
            return Unexpected(corrupt("a block does not decompress to its length"));
        }
        return {};
    }

    // Copies n bytes of the record stream to `into`, loading blocks as needed.
    IoStatus read_stream(uint8_t* into, size_t n) {
        while (n != 0) {
            if (position == raw.size()) {
                IoStatus s = load_block();
                if (!s) return s;
            }
            const size_t take = std::min(n, raw.size() - position);
            std::memcpy(into, raw.data() + position, take);
            position += take;
            into += take;
            n -= take;
        }
        return {};
    }

    // The usual case, in one go: the whole record lies in the current block and within the
    // run's byte count. Anything else (a record across blocks, a damaged length) takes the
    // field-by-field path, which makes every check in order.
    bool take_whole_record(ByteBuffer& key, ByteBuffer& payload) {
        const uint8_t* at = raw.data() + position;
        const size_t available = raw.size() - position;
        if (available < 8) return false;
        const uint64_t k = load_le32(at);
        if (available - 8 < k) return false;
        const uint64_t p = load_le32(at + 4 + k);
        const uint64_t total = 8 + k + p;
        if (available < total || bytes_left < total) return false;
        copy_field(key, at + 4, k);
        copy_field(payload, at + 8 + k, p);
        position += total;
        bytes_left -= total;
        return true;
    }

    // Kept out of line so that the usual case above stays a small function.
    [[gnu::noinline]] IoStatus read_record_by_fields(ByteBuffer& key, ByteBuffer& payload) {
        IoStatus s = read_field(key);
        if (s) s = read_field(payload);
        return s;
    }

    IoStatus read_field(ByteBuffer& out) {
        uint8_t length_bytes[4];
        if (raw.size() - position >= 4) {
            std::memcpy(length_bytes, raw.data() + position, 4);
            position += 4;
        } else {
            IoStatus s = read_stream(length_bytes, 4);
            if (!s) return s;
        }
        const uint32_t length = load_le32(length_bytes);
        bytes_left = bytes_left >= 4 ? bytes_left - 4 : 0;
        if (length > bytes_left) {
            return Unexpected(corrupt("a record is longer than the rest of the run"));
        }
        bytes_left -= length;

        out.clear();
        if (raw.size() - position >= length) {
            out.append(raw.data() + position, length);
            position += length;
            return {};
        }
        // A field that spans blocks grows the buffer only with bytes actually decoded, so a
        // damaged length cannot make it allocate ahead of the data.
        size_t remaining = length;
        while (remaining != 0) {
            if (position == raw.size()) {
                IoStatus s = load_block();
                if (!s) return s;
            }
            const size_t take = std::min(remaining, raw.size() - position);
            out.append(raw.data() + position, take);
            position += take;
            remaining -= take;
        }
        return {};
    }
};

IoResult<std::unique_ptr<RunReader>> open_run_reader(const std::shared_ptr<FileOps>& ops,
                                                      const RunInfo& info) {
    auto impl = std::make_unique<RunReader::Impl>();
    impl->path = info.path;
    impl->records_left = info.record_count;
    impl->bytes_left = info.byte_count;
    // A run without records is never read, so its file need not even be there.
    if (info.record_count != 0) {
        IoResult<std::unique_ptr<ReadableFile>> file = ops->open_for_read(info.path);
        if (!file) return Unexpected(impl->wrap_system(file.error()));
        impl->file = std::move(file).value();
    }
    return std::unique_ptr<RunReader>(new RunReader(std::move(impl)));
}

RunReader::RunReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RunReader::~RunReader() = default;

IoResult<NextRecord> RunReader::next_record(ByteBuffer& key, ByteBuffer& payload) {
    Impl& r = *impl_;
    if (r.records_left == 0) return NextRecord::End;
    if (!r.take_whole_record(key, payload)) {
        IoStatus s = r.read_record_by_fields(key, payload);
        if (!s) return Unexpected(std::move(s).error());
    }
    --r.records_left;
    return NextRecord::Record;
}

}  // namespace tessarune
