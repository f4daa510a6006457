// The compressing target over a target in memory: what it writes must be the text to the
// libraries' own decoders, in large writes, and a failure of the target under it must reach
// the job.
#include "job/compressed_output.h"

#include <gtest/gtest.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>
#include <vector>


namespace tessarune::job {
namespace {

class MemoryTarget final : public OutputTarget {
public:
    const std::string& name() const override { return name_; }
    EngineStatus open() override { return {}; }
    EngineStatus write(Bytes data) override {
        if (fail_writes) return Unexpected(EngineError::from_errno(ENOSPC));
        writes.push_back(data.size());
        bytes.append(reinterpret_cast<const char*>(data.data()), data.size());
        return {};
    }
    EngineStatus commit() override {
        committed = true;
        return {};
    }
    void discard() override { discarded = true; }

    std::string name_ = "out.jsonl.gz";
    std::string bytes;
    std::vector<size_t> writes;
    bool fail_writes = false;
    bool committed = false;
    bool discarded = false;
};

std::string inflated(const std::string& gzip) {
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
    std::string text;
    char buffer[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
    z.avail_in = static_cast<uInt>(gzip.size());
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        text.append(buffer, sizeof buffer - z.avail_out);
    }
    EXPECT_EQ(status, Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u);  // one member, nothing after it
    inflateEnd(&z);
    return text;
}

std::string zstd_decompressed(const std::string& frame) {
    ZSTD_DStream* stream = ZSTD_createDStream();
    ZSTD_inBuffer in{frame.data(), frame.size(), 0};
    std::string text;
    char buffer[65536];
    size_t hint = 1;
    while (hint != 0 && !ZSTD_isError(hint)) {
        ZSTD_outBuffer out{buffer, sizeof buffer, 0};
        hint = ZSTD_decompressStream(stream, &out, &in);
        text.append(buffer, out.pos);
        if (in.pos == in.size && out.pos == 0) break;
    }
    EXPECT_EQ(hint, 0u);  // the frame is whole
    EXPECT_EQ(in.pos, in.size);
    ZSTD_freeDStream(stream);
    return text;
}

Bytes bytes_of(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

TEST(CompressedOutputTest, TheNameChoosesTheFormat) {
    EXPECT_EQ(compression_for_output("sorted.jsonl.gz"), Compression::Gzip);
    EXPECT_EQ(compression_for_output("sorted.zst"), Compression::Zstd);
    for (const char* plain : {"sorted.jsonl", "sorted.gzip", "gz", "sorted.GZ", "sorted.zst.txt", "-"}) {
        EXPECT_EQ(compression_for_output(plain), Compression::None) << plain;
    }
}

TEST(CompressedOutputTest, WrittenTextDecodesBackInLargeWrites) {
    std::mt19937 rng(7);
    std::string text;
    while (text.size() < (6u << 20)) text += "{\"id\": " + std::to_string(rng() % 100000) + "}\n";
    for (const Compression format : {Compression::Gzip, Compression::Zstd}) {
        for (const bool empty : {false, true}) {
            SCOPED_TRACE(std::string(compression_name(format)) + (empty ? " empty" : ""));
            const std::string want = empty ? std::string() : text;
            auto inner = std::make_unique<MemoryTarget>();
            MemoryTarget& memory = *inner;
            std::unique_ptr<OutputTarget> target = compressed_output(std::move(inner), format);
            ASSERT_TRUE(target->open());
            for (size_t at = 0; at < want.size();) {
                const size_t n = std::min<size_t>(rng() % 300000, want.size() - at);
                ASSERT_TRUE(target->write(bytes_of(want.substr(at, n))));
                at += n;
            }
            ASSERT_TRUE(target->commit());
            EXPECT_TRUE(memory.committed);
            const std::string got = format == Compression::Gzip ? inflated(memory.bytes) : zstd_decompressed(memory.bytes);
            EXPECT_TRUE(got == want) << got.size() << " bytes instead of " << want.size();
            for (size_t i = 0; i + 1 < memory.writes.size(); ++i) EXPECT_GE(memory.writes[i], size_t{1} << 20);
        }
    }
}

TEST(CompressedOutputTest, FailedWriteBelowReachesTheJob) {
    auto inner = std::make_unique<MemoryTarget>();
    MemoryTarget& memory = *inner;
    memory.fail_writes = true;
    std::unique_ptr<OutputTarget> target = compressed_output(std::move(inner), Compression::Zstd);
    ASSERT_TRUE(target->open());
    ASSERT_TRUE(target->write(bytes_of("a few bytes stay in the buffer\n")));
    const EngineStatus committed = target->commit();
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error().os_code(), ENOSPC);
    EXPECT_FALSE(memory.committed);
    target->discard();
    EXPECT_TRUE(memory.discarded);
}

}  // namespace
}  // namespace tessarune::job
