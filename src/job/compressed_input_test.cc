// Compressed inputs read through read_decompressed, against the text the libraries' own
// encoders were given: whole at every way of cutting the reads, one text across pieces, and
// an error naming the file (never a shorter text) for a truncated or damaged input.
#include "job/compressed_input.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tessarune::job {
namespace {

constexpr Compression kFormats[] = {Compression::Gzip, Compression::Zstd, Compression::Bzip2, Compression::Xz};

std::string compressed(Compression format, const std::string& text) {
    std::string out;
    switch (format) {
        case Compression::Gzip: {
            z_stream z{};
            EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
            out.resize(deflateBound(&z, text.size()));
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
            z.avail_in = static_cast<uInt>(text.size());
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
            EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
            out.resize(z.total_out);
            deflateEnd(&z);
            break;
        }
        case Compression::Zstd: {
            ZSTD_CCtx* context = ZSTD_createCCtx();
            ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
            out.resize(ZSTD_compressBound(text.size()));
            const size_t n = ZSTD_compress2(context, out.data(), out.size(), text.data(), text.size());
            EXPECT_FALSE(ZSTD_isError(n));
            out.resize(n);
            ZSTD_freeCCtx(context);
            break;
        }
        case Compression::Bzip2: {
            unsigned int n = static_cast<unsigned int>(text.size() + text.size() / 100 + 600);
            out.resize(n);
            EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &n, const_cast<char*>(text.data()),
                                               static_cast<unsigned int>(text.size()), 9, 0, 0),
                      BZ_OK);
            out.resize(n);
            break;
        }
        case Compression::Xz: {
            size_t n = 0;
            out.resize(lzma_stream_buffer_bound(text.size()));
            EXPECT_EQ(lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr,
                                              reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                                              reinterpret_cast<uint8_t*>(out.data()), &n, out.size()),
                      LZMA_OK);
            out.resize(n);
            break;
        }
        case Compression::None: out = text; break;
    }
    return out;
}

// JSON Lines with enough repetition to compress as real ones do, and enough noise not to
// compress to nothing.
std::string sample_text(size_t bytes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < bytes) {
        text += "{\"user\": {\"id\": " + std::to_string(rng() % 1000000) + "}, \"event\": \"" +
                (rng() % 2 ? "login" : "purchase") + "\", \"amount\": " + std::to_string(rng() % 100000) + "}\n";
    }
    return text;
}

// An input held in memory whose reads give at most the sizes of `pattern` in turn (0: as
// many as asked), and whose read number `fail_at` (from 1) fails with `fail_code`. A read
// after the end is a fault: a terminal would wait for more.
class MemoryFile final : public ReadableFile {
public:
    explicit MemoryFile(std::string data, std::vector<size_t> pattern = {0}, uint64_t fail_at = 0, int fail_code = EIO)
        : data_(std::move(data)), pattern_(std::move(pattern)), fail_at_(fail_at), fail_code_(fail_code) {}

    EngineResult<size_t> read(uint8_t* out, size_t n) override {
        EXPECT_FALSE(ended_) << "read again after the end";
        if (++reads_ == fail_at_) return Unexpected(EngineError::from_errno(fail_code_));
        const size_t limit = pattern_[(reads_ - 1) % pattern_.size()];
        n = std::min({n, data_.size() - at_, limit == 0 ? n : limit});
        std::memcpy(out, data_.data() + at_, n);
        at_ += n;
        ended_ = n == 0;
        return n;
    }

private:
    std::string data_;
    std::vector<size_t> pattern_;
    uint64_t fail_at_;
    int fail_code_;
    size_t at_ = 0;
    uint64_t reads_ = 0;
    bool ended_ = false;
};

std::unique_ptr<ReadableFile> opened(std::unique_ptr<ReadableFile> file) {
    EngineResult<std::unique_ptr<ReadableFile>> text = read_decompressed(std::move(file), "in.jsonl");
    EXPECT_TRUE(text) << text.error().message();
    return text ? std::move(text).value() : nullptr;
}

// Everything read in reads of `read_size`, or the first error.
EngineResult<std::string> read_all(ReadableFile& file, size_t read_size) {
    std::string text;
    std::vector<uint8_t> buffer(read_size);
    for (;;) {
        EngineResult<size_t> got = file.read(buffer.data(), buffer.size());
        if (!got) return Unexpected(std::move(got).error());
        if (*got == 0) return text;
        text.append(reinterpret_cast<const char*>(buffer.data()), *got);
    }
}

std::string name_of(Compression format) { return std::string(compression_name(format)); }

TEST(CompressedInputTest, EveryFormatReadsBackWhateverTheReadSizes) {
    struct Cut {
        size_t text_bytes;
        std::vector<size_t> pattern;  // the underlying file's read sizes
        size_t read_size;             // the caller's
    };
    // Small texts in tiny reads; large ones across several compressed and text chunks.
    const std::vector<Cut> cuts = {
        {30000, {1}, 7},           {30000, {3, 1, 4096}, 1},     {30000, {0}, 65536},
        {0, {0}, 4096},            {5 << 20, {0}, 4093},         {5 << 20, {65536}, (1 << 20) + 3},
        {5 << 20, {1000, 300000, 7}, 1 << 16},
    };
    for (const Compression format : kFormats) {
        std::map<size_t, std::pair<std::string, std::string>> made;  // text and input, by size
        for (size_t i = 0; i < cuts.size(); ++i) {
            SCOPED_TRACE(name_of(format) + " cut " + std::to_string(i));
            auto& [text, input] = made[cuts[i].text_bytes];
            if (input.empty()) {
                text = sample_text(cuts[i].text_bytes, 1);
                input = compressed(format, text);
            }
            auto file = opened(std::make_unique<MemoryFile>(input, cuts[i].pattern));
            EngineResult<std::string> got = read_all(*file, cuts[i].read_size);
            ASSERT_TRUE(got) << got.error().message();
            EXPECT_TRUE(*got == text) << got->size() << " bytes instead of " << text.size();
        }
    }
}

TEST(CompressedInputTest, PiecesOneAfterAnotherAreOneText) {
    const std::string first = sample_text(100000, 1), second = sample_text(70000, 2);
    for (const Compression format : kFormats) {
        SCOPED_TRACE(name_of(format));
        // An empty piece between, as a tool that compressed an empty file makes.
        const std::string input = compressed(format, first) + compressed(format, "") + compressed(format, second);
        auto file = opened(std::make_unique<MemoryFile>(input, std::vector<size_t>{4096}));
        EngineResult<std::string> got = read_all(*file, 10000);
        ASSERT_TRUE(got) << got.error().message();
        EXPECT_TRUE(*got == first + second);
    }
}

// Reads to the end: the error, or the text if there was none.
EngineResult<std::string> read_cut(const std::string& input) {
    EngineResult<std::unique_ptr<ReadableFile>> file = read_decompressed(std::make_unique<MemoryFile>(input), "in.jsonl");
    if (!file) return Unexpected(std::move(file).error());
    return read_all(**file, 65536);
}

TEST(CompressedInputTest, TruncatedOrDamagedInputIsAnErrorNamingTheFile) {
    const std::string text = sample_text(200000, 3);
    for (const Compression format : kFormats) {
        SCOPED_TRACE(name_of(format));
        const std::string whole = compressed(format, text);
        // Cut anywhere past the magic: inside the header, the data or the trailer.
        for (size_t keep : {kMagicBytes, kMagicBytes + 3, whole.size() / 3, whole.size() / 2, whole.size() - 9,
                            whole.size() - 4, whole.size() - 1}) {
            EngineResult<std::string> got = read_cut(whole.substr(0, keep));
            ASSERT_FALSE(got) << "cut to " << keep << " bytes read " << got->size() << " bytes";
            EXPECT_EQ(got.error().kind(), ErrorKind::BadInput);
            EXPECT_EQ(got.error().message(), "in.jsonl: truncated " + name_of(format) + " input") << keep;
            EXPECT_EQ(got.error().path(), "in.jsonl");
        }
        // Whatever follows the stream and is not another piece is damage.
        EngineResult<std::string> trailing = read_cut(whole + "\n");
        ASSERT_FALSE(trailing);
        EXPECT_EQ(trailing.error().message().rfind("in.jsonl: ", 0), 0u) << trailing.error().message();
    }
}

TEST(CompressedInputTest, ChangedByteIsAnErrorOrChangesNothing) {
    // Every byte after the magic changed in turn: a header field the format does not check
    // (gzip's time stamp) may leave the text as it was; any other change is an error.
    const std::string text = sample_text(6000, 4);
    for (const Compression format : kFormats) {
        SCOPED_TRACE(name_of(format));
        const std::string whole = compressed(format, text);
        size_t errors = 0;
        for (size_t at = kMagicBytes; at < whole.size(); ++at) {
            std::string changed = whole;
            changed[at] = static_cast<char>(changed[at] ^ 0x20);
            EngineResult<std::string> got = read_cut(changed);
            if (got) {
                EXPECT_TRUE(*got == text) << "a change at " << at << " of " << whole.size() << " went unseen";
                continue;
            }
            ++errors;
            const std::string& message = got.error().message();
            EXPECT_TRUE(message.rfind("in.jsonl: damaged " + name_of(format) + " input: ", 0) == 0 ||
                        message == "in.jsonl: truncated " + name_of(format) + " input")
                << message;
        }
        EXPECT_GT(errors, (whole.size() - kMagicBytes) * 9 / 10);
    }
}

TEST(CompressedInputTest, TextThatOnlyLooksCompressedIsReadAsItIs) {
    for (const std::string& text : {std::string("BZh1,name\n1,a\n"), std::string("BZh91AY&SX and more\n"),
                                   std::string("\x1f\x8b"), std::string("\x28\xb5\x2f"), std::string()}) {
        auto file = opened(std::make_unique<MemoryFile>(text, std::vector<size_t>{2}));
        EngineResult<std::string> got = read_all(*file, 3);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, text);
    }
}

TEST(CompressedInputTest, UnderlyingReadErrorsComeBackAsTheyAre) {
    const std::string text = sample_text(3 << 20, 5);
    for (const Compression format : {Compression::None, Compression::Gzip, Compression::Xz}) {
        SCOPED_TRACE(name_of(format));
        const std::string input = compressed(format, text);
        // While the first bytes are read: opening fails.
        EngineResult<std::unique_ptr<ReadableFile>> failed =
            read_decompressed(std::make_unique<MemoryFile>(input, std::vector<size_t>{0}, 1), "in.jsonl");
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().os_code(), EIO);
        // Later: that read fails, and an interrupted one can be tried again.
        for (const int code : {EIO, EINTR}) {
            auto file = opened(std::make_unique<MemoryFile>(input, std::vector<size_t>{65536}, 4, code));
            std::string got;
            std::vector<uint8_t> buffer(65536);
            size_t failures = 0;
            for (;;) {
                EngineResult<size_t> n = file->read(buffer.data(), buffer.size());
                if (!n) {
                    EXPECT_EQ(n.error().os_code(), code);
                    ++failures;
                    if (code == EINTR) continue;
                    break;
                }
                if (*n == 0) break;
                got.append(reinterpret_cast<const char*>(buffer.data()), *n);
            }
            EXPECT_EQ(failures, 1u);
            if (code == EINTR) {
                EXPECT_TRUE(got == text);
            }
        }
    }
}

TEST(CompressedInputTest, DroppingTheReaderPartWayStopsItsThread) {
    // Highly compressible: the thread fills every text buffer and waits for the reader.
    const std::string text(24 << 20, 'x');
    for (const Compression format : {Compression::Gzip, Compression::Zstd}) {
        const std::string input = compressed(format, text);
        for (const int wait_ms : {0, 50}) {
            auto file = opened(std::make_unique<MemoryFile>(input, std::vector<size_t>{4096}));
            uint8_t byte = 0;
            if (wait_ms > 0) {
                ASSERT_TRUE(file->read(&byte, 1));
                std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            }
            file.reset();  // a thread left waiting would hang here
        }
    }
    // A damaged input whose error nobody reads.
    auto file = opened(std::make_unique<MemoryFile>(compressed(Compression::Gzip, text).substr(0, 4000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace
}  // namespace tessarune::job
