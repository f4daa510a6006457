#include "run/bucket_block.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace tessarune {
namespace {

using Record = std::pair<std::string, std::string>;

Bytes bytes_of(const std::string& s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
std::string string_of(Bytes b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

// Records written in blocks as the bucket phase does: sealed at the target, and at the end.
std::vector<uint8_t> write_blocks(const std::vector<Record>& records, int acceleration) {
    BucketBlockWriter writer;
    ByteBuffer out;
    for (const auto& [key, payload] : records) {
        writer.add(bytes_of(key), bytes_of(payload));
        if (writer.raw_size() >= kBucketBlockTarget) writer.seal(out, acceleration);
    }
    writer.seal(out, acceleration);
    return {out.begin(), out.end()};
}

// Reads the blocks fed in pieces of random sizes, as a file is read in buffers; the error of
// the first bad block, if any.
std::string read_blocks(const std::vector<uint8_t>& file, std::mt19937_64& rng,
                        std::vector<Record>& records) {
    std::vector<uint8_t> pending;
    ByteBuffer raw;
    size_t fed = 0;
    while (fed < file.size() || !pending.empty()) {
        const size_t piece = std::min<size_t>(file.size() - fed, rng() % 70000);
        pending.insert(pending.end(), file.begin() + fed, file.begin() + fed + piece);
        fed += piece;
        size_t at = 0;
        for (;;) {
            BucketBlock block = read_bucket_block(Bytes(pending).subspan(at), raw);
            if (block.step == BucketStep::Bad) return block.error;
            if (block.step == BucketStep::NeedMore) break;
            at += block.length;
            BucketRecords walk(raw.span());
            Bytes key, payload;
            bool bad = false;
            while (walk.next(key, payload, bad)) records.emplace_back(string_of(key), string_of(payload));
            if (bad) return "record past its block";
        }
        pending.erase(pending.begin(), pending.begin() + at);
        if (fed == file.size() && piece == 0 && !pending.empty()) return "file ends inside a block";
    }
    return "";
}

std::vector<Record> random_records(std::mt19937_64& rng, size_t count) {
    std::vector<Record> records;
    for (size_t i = 0; i < count; ++i) {
        std::string key(rng() % 40, '\0'), payload(i % 97 == 0 ? 200000 : rng() % 300, 'x');
        for (auto& c : key) c = static_cast<char>(rng());
        if (i % 2) for (auto& c : payload) c = static_cast<char>(rng());
        records.emplace_back(std::move(key), std::move(payload));
    }
    return records;
}

TEST(BucketBlockTest, RecordsComeBackInOrderCompressedOrNot) {
    for (int acceleration : {1, 64, 0}) {
        std::mt19937_64 rng(acceleration + 1);
        const auto records = random_records(rng, 3000);
        const auto file = write_blocks(records, acceleration);
        std::vector<Record> back;
        EXPECT_EQ(read_blocks(file, rng, back), "");
        EXPECT_EQ(back, records) << "acceleration " << acceleration;
    }
}

TEST(BucketBlockTest, CompressionStoresRepetitiveRecordsSmaller) {
    std::vector<Record> records(2000, {"user-000123", std::string(100, 'a')});
    EXPECT_LT(write_blocks(records, 1).size() * 5, write_blocks(records, 0).size());
}

// A damaged byte is reported, or (a changed match offset that copies the same bytes) harmless:
// never read back as other records.
TEST(BucketBlockTest, DamageIsNeverReadAsOtherRecords) {
    std::mt19937_64 rng(3);
    for (int acceleration : {1, 0}) {
        std::vector<Record> records;
        for (int i = 0; i < 40; ++i) records.push_back({"k" + std::to_string(i), std::string(i, 'p')});
        const auto file = write_blocks(records, acceleration);
        for (size_t i = 0; i < file.size(); ++i) {
            auto damaged = file;
            damaged[i] ^= 0x20;
            std::vector<Record> back;
            const std::string error = read_blocks(damaged, rng, back);
            if (error.empty()) {
                EXPECT_EQ(back, records) << "byte " << i << " acceleration " << acceleration;
            }
        }
        auto cut = file;
        cut.pop_back();
        std::vector<Record> back;
        EXPECT_EQ(read_blocks(cut, rng, back), "file ends inside a block");
    }
}

}  // namespace
}  // namespace tessarune
