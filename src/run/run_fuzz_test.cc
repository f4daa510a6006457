// Damaged runs fed to the reader: thousands of random mutations of one valid run. The
// reader must never crash or touch memory outside its buffers (this runs under
// AddressSanitizer in CI), and must report damage it can see. The format carries no checksum,
// so a changed literal inside a compressed block can go unnoticed; such a read must still
// stay within the run's record count and byte count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/little_endian.h"
#include "run/run_reader.h"
#include "run/run_writer.h"
#include "run/testing/run_files.h"

namespace tessarune {
namespace {

using run_testing::TestRecord;

class MemoryFile final : public ReadableFile {
public:
    explicit MemoryFile(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    IoResult<size_t> read(uint8_t* data, size_t n) override {
        const size_t take = std::min(n, bytes_.size() - at_);
        if (take != 0) std::memcpy(data, bytes_.data() + at_, take);
        at_ += take;
        return take;
    }

private:
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};

// Serves one in-memory file for reading, so that each mutation costs no disk traffic.
class MemoryOps final : public FileOps {
public:
    std::vector<uint8_t> contents;

    IoResult<std::unique_ptr<ReadableFile>> open_for_read(const std::string&) override {
        return std::unique_ptr<ReadableFile>(std::make_unique<MemoryFile>(contents));
    }
    IoResult<bool> is_directory(const std::string&) override { return unsupported(); }
    IoResult<std::string> current_dir() override { return unsupported(); }
    IoStatus make_dir(const std::string&) override { return unsupported(); }
    IoResult<std::unique_ptr<WritableFile>> create_new_file(const std::string&) override {
        return unsupported();
    }
    IoStatus remove_file(const std::string&) override { return unsupported(); }
    void remove_tree(const std::string&) override {}
    IoStatus random_bytes(uint8_t*, size_t) override { return unsupported(); }

private:
    static Unexpected<IoError> unsupported() { return Unexpected(IoError::of_kind(IoErrorKind::Other)); }
};

bool equal_bytes(const ByteBuffer& got, const std::string& want) {
    return got.size() == want.size() && (want.empty() || std::memcmp(got.data(), want.data(), want.size()) == 0);
}

enum class Mutation { FlipBit, SetByte, Truncate, Insert };

struct Applied {
    Mutation kind;
    size_t at;
};

TEST(RunFuzzTest, DamagedRunsNeverCrashAndVisibleDamageIsReported) {
    const uint64_t seed = run_testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);

    std::vector<TestRecord> records;
    for (int i = 0; records.size() < 400; ++i) {
        const size_t n = i % 97 == 0 ? 40000 : rng() % 600;
        records.push_back({"key-" + std::to_string(i), i % 5 ? std::string(n, 'w')
                                                             : run_testing::random_bytes(rng, n)});
    }
    run_testing::ScratchDir dir;
    const RunInfo info = run_testing::write_run(FileOps::system(), dir.file("run"), records);
    const std::vector<uint8_t> original = run_testing::read_file(info.path);
    const auto headers = run_testing::block_headers(original);
    ASSERT_GE(headers.size(), 3u);

    auto ops = std::make_shared<MemoryOps>();
    ByteBuffer key;
    ByteBuffer payload;
    size_t reported = 0;
    for (int iteration = 0; iteration < 3000; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        std::vector<uint8_t>& file = ops->contents;
        file = original;
        std::vector<Applied> applied;
        const int count = 1 + static_cast<int>(rng() % 3);
        for (int m = 0; m < count && !file.empty(); ++m) {
            const auto kind = static_cast<Mutation>(rng() % 4);
            const size_t at = rng() % file.size();
            switch (kind) {
                case Mutation::FlipBit: file[at] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
                case Mutation::SetByte: file[at] = static_cast<uint8_t>(rng()); break;
                case Mutation::Truncate: file.resize(at); break;
                case Mutation::Insert: {
                    const std::string bytes = run_testing::random_bytes(rng, 1 + rng() % 16);
                    file.insert(file.begin() + static_cast<ptrdiff_t>(at), bytes.begin(), bytes.end());
                    break;
                }
            }
            applied.push_back({kind, at});
        }

        auto reader = open_run_reader(ops, info);
        ASSERT_TRUE(reader);
        uint64_t read_records = 0;
        uint64_t read_bytes = 0;
        bool same = true;
        IoResult<NextRecord> next = NextRecord::Record;
        for (;;) {
            next = (*reader)->next_record(key, payload);
            if (!next || *next == NextRecord::End) break;
            const TestRecord& want = records[read_records];
            same = same && equal_bytes(key, want.key) && equal_bytes(payload, want.payload);
            ++read_records;
            read_bytes += 8 + key.size() + payload.size();
            ASSERT_LE(read_records, info.record_count);
        }

        const bool lone_truncation = applied.size() == 1 && applied[0].kind == Mutation::Truncate;
        const bool changed_raw_length =
            applied.size() == 1 && applied[0].kind != Mutation::Truncate &&
            applied[0].kind != Mutation::Insert && file != original &&
            std::any_of(headers.begin(), headers.end(), [&](const auto& h) {
                return applied[0].at >= h.offset + 4 && applied[0].at < h.offset + 8;
            });
        if (next) {
            EXPECT_EQ(read_records, info.record_count);
            EXPECT_LE(read_bytes, info.byte_count);
            EXPECT_FALSE(lone_truncation) << "a cut file read as whole";
            EXPECT_FALSE(changed_raw_length) << "a block read back with another raw length";
            if (file == original) {
                EXPECT_TRUE(same);
            }
            continue;
        }
        ++reported;
        const IoError& e = next.error();
        const std::string& text = e.message();
        ASSERT_EQ(text.rfind(info.path, 0), 0u) << text;
        const std::string rest = text.substr(info.path.size());
        if (e.kind() == IoErrorKind::UnexpectedEof) {
            EXPECT_EQ(rest, " ended before its last record");
        } else {
            ASSERT_EQ(e.kind(), IoErrorKind::InvalidData) << text;
            EXPECT_TRUE(rest == " is corrupt: a block has an impossible length" ||
                        rest == " is corrupt: a block does not decompress to its length" ||
                        rest == " is corrupt: a record is longer than the rest of the run")
                << text;
        }
        if (lone_truncation) {
            EXPECT_EQ(e.kind(), IoErrorKind::UnexpectedEof);
        }
    }
    // Most damage is visible: a test whose mutations all missed the data proves nothing.
    EXPECT_GT(reported, 1500u);
}

}  // namespace
}  // namespace tessarune
