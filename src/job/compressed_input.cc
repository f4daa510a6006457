#include "job/compressed_input.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/channel.h"
#include "base/thread_name.h"
#include "job/stream_decoder.h"

namespace tessarune::job {
namespace {

constexpr size_t kCompressedChunk = size_t{256} << 10;
constexpr size_t kCompressedChunks = 2;
constexpr size_t kTextChunk = size_t{1} << 20;
constexpr size_t kTextChunks = 3;

bool starts_with(Bytes head, size_t at, std::initializer_list<uint8_t> magic) {
    return head.size() >= at + magic.size() && std::equal(magic.begin(), magic.end(), head.begin() + at);
}

// Reads into the spare capacity of `into` until it holds `want` bytes or the file ends; true
// at the end. Interrupted reads are retried.
EngineResult<bool> read_at_least(ReadableFile& file, ByteBuffer& into, size_t want) {
    while (into.size() < want) {
        EngineResult<size_t> got = file.read(into.data() + into.size(), into.capacity() - into.size());
        if (!got) {
            if (got.error().kind() == ErrorKind::Interrupted) continue;
            return Unexpected(std::move(got).error());
        }
        if (*got == 0) return true;
        into.set_size(into.size() + *got);
    }
    return false;
}

// The first bytes, then the rest of the file as it is.
class PeekedFile final : public ReadableFile {
public:
    PeekedFile(std::unique_ptr<ReadableFile> file, ByteBuffer head, bool at_end)
        : file_(std::move(file)), head_(std::move(head)), at_end_(at_end) {}

    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        if (given_ < head_.size()) {
            const size_t k = std::min(n, head_.size() - given_);
            std::memcpy(data, head_.data() + given_, k);
            given_ += k;
            if (given_ == head_.size()) head_.release();
            return k;
        }
        // A terminal's end of input is read once: another read would wait for more.
        if (at_end_) return size_t{0};
        return file_->read(data, n);
    }
    // The offsets are the file's own: the first bytes were its first bytes.
    void drop_before(uint64_t offset) override { file_->drop_before(offset); }
    void uncache_before(uint64_t offset) override { file_->uncache_before(offset); }

private:
    std::unique_ptr<ReadableFile> file_;
    ByteBuffer head_;
    size_t given_ = 0;
    const bool at_end_;
};

// What the decompressing thread hands back to the reader.
struct Handout {
    enum class Kind : uint8_t {
        Text,     // a chunk of text to read
        Spent,    // a compressed chunk taken in whole, to be filled again
        Failure,  // the input is truncated or damaged; nothing follows
    };
    Kind kind = Kind::Text;
    ByteBuffer bytes;
    std::optional<EngineError> failure;
};

// The reader's thread reads compressed chunks into the buffers it has (kCompressedChunks in
// all) and sends them to the decompressing thread, which sends back chunks of text and the
// spent buffers over one channel. The reader waits only when it has no buffer to fill (or the
// input has ended): every buffer is then with the other thread, which either makes text or
// sends a spent buffer back, so the wait always ends. The decompressing thread waits for a
// text buffer only while all kTextChunks are in the channel, which the reader drains.
class DecompressedFile final : public ReadableFile {
public:
    DecompressedFile(std::unique_ptr<ReadableFile> file, std::string name, Compression compression,
                     ByteBuffer head, bool at_end)
        : file_(std::move(file)), name_(std::move(name)), decoder_(new_stream_decoder(compression)) {
        for (size_t i = 1; i < kCompressedChunks; ++i) empty_.emplace_back(kCompressedChunk);
        file_bytes_read_ = head.size();
        TR_CHECK(compressed_.send(std::move(head)));
        if (at_end) end_input();
        thread_ = std::thread([this] { decompress(); });
    }

    ~DecompressedFile() override {
        // Wakes the thread wherever it waits; its next send fails, and it returns.
        handouts_.close_and_discard();
        spare_text_.close_and_discard();
        compressed_.close_and_discard();
        thread_.join();
    }
    DecompressedFile(const DecompressedFile&) = delete;
    DecompressedFile& operator=(const DecompressedFile&) = delete;

    // The text's offsets are not the file's, but every byte read from the file is in a
    // buffer already: none of them will be read from it again.
    void uncache_before(uint64_t /*offset*/) override { file_->uncache_before(file_bytes_read_); }

    EngineResult<size_t> read(uint8_t* data, size_t n) override {
        if (n == 0) return size_t{0};
        for (;;) {
            if (given_ < text_.size()) {
                const size_t k = std::min(n, text_.size() - given_);
                std::memcpy(data, text_.data() + given_, k);
                given_ += k;
                return k;
            }
            if (text_.capacity() != 0) {
                TR_CHECK(spare_text_.try_send(std::exchange(text_, ByteBuffer())));  // room for all
                given_ = 0;
            }
            if (failure_) return Unexpected(*failure_);
            if (text_ended_) return size_t{0};
            Handout handout;
            Received got = handouts_.try_receive(handout);
            if (got == Received::TimedOut) {
                // Nothing ready: a spent buffer is read into before waiting.
                if (!input_ended_ && !empty_.empty()) {
                    TR_RETURN_IF_ERROR(read_chunk());
                    continue;
                }
                got = handouts_.receive(handout);
            }
            if (got == Received::Closed) {
                if (std::exception_ptr broken = handouts_.internal_error()) std::rethrow_exception(broken);
                text_ended_ = true;
                continue;
            }
            switch (handout.kind) {
                case Handout::Kind::Text: text_ = std::move(handout.bytes); break;
                case Handout::Kind::Spent: empty_.push_back(std::move(handout.bytes)); break;
                case Handout::Kind::Failure: failure_ = std::move(handout.failure); break;
            }
        }
    }

private:
    // The reader's: one read of the underlying file into an empty buffer, sent on. Its error
    // is returned as it is, the buffer kept for the next try.
    EngineStatus read_chunk() {
        ByteBuffer chunk = std::move(empty_.back());
        empty_.pop_back();
        chunk.clear();
        EngineResult<size_t> got = file_->read(chunk.data(), chunk.capacity());
        if (!got || *got == 0) {
            empty_.push_back(std::move(chunk));
            if (!got) return Unexpected(std::move(got).error());
            end_input();
            return {};
        }
        chunk.set_size(*got);
        file_bytes_read_ += *got;
        // Never waits: no more chunks exist than the channel holds.
        TR_CHECK(compressed_.send(std::move(chunk)));
        return {};
    }

    void end_input() {
        input_ended_ = true;
        compressed_.close();
    }

    // --- the decompressing thread ---
    void decompress() {
        set_current_thread_name("tessarune-unzip");
        try {
            ByteBuffer text;
            if (!next_text_buffer(text)) return;
            for (;;) {
                ByteBuffer chunk;
                const bool input_ends = compressed_.receive(chunk) == Received::Closed;
                Bytes in = chunk.span();
                for (;;) {
                    EngineResult<bool> complete = decoder_->decode(in, input_ends, text);
                    if (!complete) {
                        EngineError named(ErrorKind::BadInput, name_ + ": " + complete.error().message());
                        named.set_path(name_);
                        handouts_.send(Handout{Handout::Kind::Failure, ByteBuffer(), std::move(named)});
                        handouts_.close();
                        return;
                    }
                    if (text.size() == text.capacity()) {
                        if (!hand_out(text) || !next_text_buffer(text)) return;
                        continue;
                    }
                    if (*complete) {
                        if (!text.empty() && !hand_out(text)) return;
                        handouts_.close();
                        return;
                    }
                    break;  // all of `in` is taken: the next chunk is wanted
                }
                if (!handouts_.send(Handout{Handout::Kind::Spent, std::move(chunk), std::nullopt})) return;
            }
        } catch (...) {
            handouts_.close(std::current_exception());
        }
    }

    // False once the reader is gone.
    bool hand_out(ByteBuffer& text) {
        return handouts_.send(Handout{Handout::Kind::Text, std::exchange(text, ByteBuffer()), std::nullopt});
    }

    // A text buffer the reader has read, else a new one while fewer than kTextChunks exist.
    // False once the reader is gone.
    bool next_text_buffer(ByteBuffer& text) {
        Received got = spare_text_.try_receive(text);
        if (got != Received::Value && text_buffers_made_ < kTextChunks) {
            text = ByteBuffer(kTextChunk);
            ++text_buffers_made_;
            return true;
        }
        if (got == Received::TimedOut) got = spare_text_.receive(text);
        if (got != Received::Value) return false;
        text.clear();
        return true;
    }

    // The reader's thread alone.
    std::unique_ptr<ReadableFile> file_;
    std::vector<ByteBuffer> empty_;  // compressed buffers to read into
    uint64_t file_bytes_read_ = 0;   // the first bytes included
    bool input_ended_ = false;
    ByteBuffer text_;   // the text chunk being read
    size_t given_ = 0;  // of text_
    bool text_ended_ = false;
    std::optional<EngineError> failure_;

    // Set before the thread starts, then the decompressing thread's alone.
    const std::string name_;
    const std::unique_ptr<StreamDecoder> decoder_;
    size_t text_buffers_made_ = 0;

    // Shared: each channel is safe from both threads.
    Channel<ByteBuffer> compressed_{kCompressedChunks};           // to the decompressing thread
    Channel<Handout> handouts_{kCompressedChunks + kTextChunks};  // back to the reader
    Channel<ByteBuffer> spare_text_{kTextChunks};                 // text chunks read, to fill again
    std::thread thread_;  // started last, joined by the destructor
};

}  // namespace

Compression compression_of(Bytes head) {
    if (starts_with(head, 0, {0x1f, 0x8b, 0x08})) return Compression::Gzip;
    if (starts_with(head, 0, {0x28, 0xb5, 0x2f, 0xfd})) return Compression::Zstd;
    if (starts_with(head, 0, {0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00})) return Compression::Xz;
    if (starts_with(head, 0, {'B', 'Z', 'h'}) && head.size() > 3 && head[3] >= '1' && head[3] <= '9' &&
        (starts_with(head, 4, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59}) ||
         starts_with(head, 4, {0x17, 0x72, 0x45, 0x38, 0x50, 0x90}))) {
        return Compression::Bzip2;
    }
    return Compression::None;
}

EngineResult<std::unique_ptr<ReadableFile>> read_decompressed(std::unique_ptr<ReadableFile> file,
                                                              const std::string& name) {
    ByteBuffer head(kCompressedChunk);
    const bool at_end = TR_TRY(read_at_least(*file, head, kMagicBytes));
    const Compression compression = compression_of(head.span());
    if (compression == Compression::None) {
        return std::unique_ptr<ReadableFile>(std::make_unique<PeekedFile>(std::move(file), std::move(head), at_end));
    }
    return std::unique_ptr<ReadableFile>(
        std::make_unique<DecompressedFile>(std::move(file), name, compression, std::move(head), at_end));
}

}  // namespace tessarune::job
