#include "job/stream_decoder.h"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <climits>
#include <new>
#include <string>

namespace tessarune::job {
namespace {

// zlib and libbz2 count in unsigned int: a longer span is given in parts.
constexpr size_t kMostPerCall = UINT_MAX;

unsigned int clamped(size_t n) { return static_cast<unsigned int>(std::min(n, kMostPerCall)); }

// What one call into a library did.
struct Step {
    size_t taken = 0;
    size_t made = 0;
    bool piece_ended = false;  // a member, frame or stream ended here
    const char* damage = nullptr;  // set: the input is damaged, for this reason
};

// The loop every format shares: pieces one after another, each begun by start() and ended
// when step() says so; an input that stops inside a piece is truncated.
class PieceDecoder : public StreamDecoder {
public:
    explicit PieceDecoder(Compression compression) : compression_(compression) {}

    EngineResult<bool> decode(Bytes& in, bool input_ends, ByteBuffer& out) final {
        for (;;) {
            if (out.size() == out.capacity()) return false;
            if (in.empty() && !inside_) return input_ends;
            if (!inside_) {
                start();
                inside_ = true;
            }
            const Step step = this->step(in, input_ends, out.data() + out.size(), out.capacity() - out.size());
            in = in.subspan(step.taken);
            out.set_size(out.size() + step.made);
            if (step.damage != nullptr) return Unexpected(damaged(step.damage));
            if (step.piece_ended) {
                inside_ = false;
            } else if (step.taken == 0 && step.made == 0) {
                // Every library makes progress while it has input and room: it needs more.
                if (!in.empty()) return Unexpected(damaged("the decoder stopped making progress"));
                if (input_ends) return Unexpected(truncated());
                return false;
            }
        }
    }

protected:
    virtual void start() = 0;
    virtual Step step(Bytes in, bool input_ends, uint8_t* out, size_t room) = 0;

private:
    EngineError damaged(const std::string& reason) const {
        return EngineError(ErrorKind::BadInput,
                           "damaged " + std::string(compression_name(compression_)) + " input: " + reason);
    }
    EngineError truncated() const {
        return EngineError(ErrorKind::BadInput, "truncated " + std::string(compression_name(compression_)) + " input");
    }

    const Compression compression_;
    bool inside_ = false;  // a piece has begun and not yet ended
};

class GzipDecoder final : public PieceDecoder {
public:
    GzipDecoder() : PieceDecoder(Compression::Gzip) {
        // 16 + the largest window: gzip members alone, no bare deflate or zlib stream.
        const int status = inflateInit2(&z_, 16 + MAX_WBITS);
        if (status == Z_MEM_ERROR) throw std::bad_alloc();
        TR_CHECK(status == Z_OK);
    }
    ~GzipDecoder() override { inflateEnd(&z_); }
    GzipDecoder(const GzipDecoder&) = delete;
    GzipDecoder& operator=(const GzipDecoder&) = delete;

private:
    void start() override { TR_CHECK(inflateReset(&z_) == Z_OK); }
    Step step(Bytes in, bool /*input_ends*/, uint8_t* out, size_t room) override {
        z_.next_in = const_cast<Bytef*>(in.data());  // zlib's API is not const-correct
        z_.avail_in = clamped(in.size());
        z_.next_out = out;
        z_.avail_out = clamped(room);
        const unsigned int had_in = z_.avail_in, had_out = z_.avail_out;
        const int status = inflate(&z_, Z_NO_FLUSH);
        Step step{had_in - z_.avail_in, had_out - z_.avail_out};
        switch (status) {
            case Z_STREAM_END: step.piece_ended = true; break;
            case Z_OK:
            case Z_BUF_ERROR: break;  // no progress possible now: told by the counts
            case Z_MEM_ERROR: throw std::bad_alloc();
            case Z_NEED_DICT: step.damage = "a preset dictionary is needed"; break;
            default: step.damage = z_.msg != nullptr ? z_.msg : "invalid data"; break;
        }
        return step;
    }

    z_stream z_{};
};

class ZstdDecoder final : public PieceDecoder {
public:
    ZstdDecoder() : PieceDecoder(Compression::Zstd), stream_(ZSTD_createDStream()) {
        if (stream_ == nullptr) throw std::bad_alloc();
    }
    ~ZstdDecoder() override { ZSTD_freeDStream(stream_); }
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;

private:
    // A frame follows the one before without a reset: the stream starts each by itself.
    void start() override {}
    Step step(Bytes in, bool /*input_ends*/, uint8_t* out, size_t room) override {
        ZSTD_inBuffer from{in.data(), in.size(), 0};
        ZSTD_outBuffer to{out, room, 0};
        const size_t hint = ZSTD_decompressStream(stream_, &to, &from);
        Step step{from.pos, to.pos};
        if (ZSTD_isError(hint)) {
            if (ZSTD_getErrorCode(hint) == ZSTD_error_memory_allocation) throw std::bad_alloc();
            step.damage = ZSTD_getErrorName(hint);
        } else {
            step.piece_ended = hint == 0;  // the frame is decoded and all of it given out
        }
        return step;
    }

    ZSTD_DStream* stream_;
};

class Bzip2Decoder final : public PieceDecoder {
public:
    Bzip2Decoder() : PieceDecoder(Compression::Bzip2) {}
    ~Bzip2Decoder() override { end(); }
    Bzip2Decoder(const Bzip2Decoder&) = delete;
    Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

private:
    // Each stream has its own block size in its header: a decoder each.
    void start() override {
        end();
        const int status = BZ2_bzDecompressInit(&s_, 0, 0);
        if (status == BZ_MEM_ERROR) throw std::bad_alloc();
        TR_CHECK(status == BZ_OK);
        open_ = true;
    }
    Step step(Bytes in, bool /*input_ends*/, uint8_t* out, size_t room) override {
        s_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data()));  // not const-correct
        s_.avail_in = clamped(in.size());
        s_.next_out = reinterpret_cast<char*>(out);
        s_.avail_out = clamped(room);
        const unsigned int had_in = s_.avail_in, had_out = s_.avail_out;
        const int status = BZ2_bzDecompress(&s_);
        Step step{had_in - s_.avail_in, had_out - s_.avail_out};
        switch (status) {
            case BZ_STREAM_END: step.piece_ended = true; break;
            case BZ_OK: break;
            case BZ_MEM_ERROR: throw std::bad_alloc();
            case BZ_DATA_ERROR_MAGIC: step.damage = "what follows is not a bzip2 stream"; break;
            case BZ_DATA_ERROR: step.damage = "a block is corrupt or its checksum does not match"; break;
            default: step.damage = "the decoder failed"; break;
        }
        return step;
    }
    void end() {
        if (open_) BZ2_bzDecompressEnd(&s_);
        open_ = false;
        s_ = bz_stream{};
    }

    bz_stream s_{};
    bool open_ = false;
};

// Streams one after another, and the padding the format allows between them, are liblzma's
// own to read (LZMA_CONCATENATED): its one piece ends only once the input has ended.
class XzDecoder final : public PieceDecoder {
public:
    XzDecoder() : PieceDecoder(Compression::Xz) {}
    ~XzDecoder() override { lzma_end(&s_); }
    XzDecoder(const XzDecoder&) = delete;
    XzDecoder& operator=(const XzDecoder&) = delete;

private:
    void start() override {
        const lzma_ret status = lzma_stream_decoder(&s_, UINT64_MAX, LZMA_CONCATENATED);
        if (status == LZMA_MEM_ERROR) throw std::bad_alloc();
        TR_CHECK(status == LZMA_OK);
    }
    Step step(Bytes in, bool input_ends, uint8_t* out, size_t room) override {
        s_.next_in = in.data();
        s_.avail_in = in.size();
        s_.next_out = out;
        s_.avail_out = room;
        const lzma_ret status = lzma_code(&s_, input_ends ? LZMA_FINISH : LZMA_RUN);
        Step step{in.size() - s_.avail_in, room - s_.avail_out};
        switch (status) {
            case LZMA_STREAM_END: step.piece_ended = true; break;
            case LZMA_OK:
            case LZMA_BUF_ERROR: break;  // no progress possible now: told by the counts
            case LZMA_MEM_ERROR: throw std::bad_alloc();
            case LZMA_FORMAT_ERROR: step.damage = "what follows is not an xz stream"; break;
            case LZMA_OPTIONS_ERROR: step.damage = "a stream uses options this decoder does not support"; break;
            case LZMA_DATA_ERROR: step.damage = "the data is corrupt"; break;
            default: step.damage = "the decoder failed"; break;
        }
        return step;
    }

    lzma_stream s_ = LZMA_STREAM_INIT;
};

}  // namespace

std::unique_ptr<StreamDecoder> new_stream_decoder(Compression compression) {
    switch (compression) {
        case Compression::Gzip: return std::make_unique<GzipDecoder>();
        case Compression::Zstd: return std::make_unique<ZstdDecoder>();
        case Compression::Bzip2: return std::make_unique<Bzip2Decoder>();
        case Compression::Xz: return std::make_unique<XzDecoder>();
        case Compression::None: break;
    }
    TR_CHECK(compression != Compression::None);
    return nullptr;
}

}  // namespace tessarune::job
