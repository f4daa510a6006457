// Damaged runs fed to the reader: many thousands of random mutations of one valid run. The
// reader must never crash or touch memory outside its buffers (this runs under
// AddressSanitizer in CI), and every read of a damaged file either reports an error that
// names the file or gives back exactly the records written: never other bytes in silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/little_endian.h"
#include "run/run_reader.h"
#include "run/run_writer.h"
#include "run/testing/path_file_ops.h"
#include "run/testing/run_files.h"

namespace tessarune {
namespace {

using run_testing::TestRecord;

class MemoryFile final : public ReadableFile {
public:
    explicit MemoryFile(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    EngineResult<size_t> read(uint8_t* data, size_t n) override {
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
class MemoryOps final : public run_testing::PathFileOps {
public:
    std::vector<uint8_t> contents;

    EngineResult<std::unique_ptr<ReadableFile>> open_for_read(const std::string&) override {
        return std::unique_ptr<ReadableFile>(std::make_unique<MemoryFile>(contents));
    }
    EngineResult<bool> is_directory(const std::string&) override { return unsupported(); }
    EngineResult<std::string> current_dir() override { return unsupported(); }
    EngineStatus make_temp_dir(std::string&) override { return unsupported(); }
    EngineResult<std::unique_ptr<WritableFile>> create_new_file(const std::string&) override {
        return unsupported();
    }
    EngineStatus remove_file(const std::string&) override { return unsupported(); }
    void remove_tree(const std::string&) override {}

private:
    static Unexpected<EngineError> unsupported() { return Unexpected(EngineError::of_kind(ErrorKind::Other)); }
};

bool equal_bytes(Bytes got, const std::string& want) {
    return got.size() == want.size() && (want.empty() || std::memcmp(got.data(), want.data(), want.size()) == 0);
}

enum class Mutation { FlipBit, SetByte, Truncate, Insert, Swap };

TEST(RunFuzzTest, DamagedRunsReadBackExactlyOrReportTheFile) {
    const uint64_t seed = run_testing::fresh_seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);

    // Just over two blocks: every mutation is read in full, so a small run keeps the many
    // iterations cheap under the sanitizers while fields still cross block boundaries.
    // Every third record a line, which the reader views in its block by changing bytes there.
    std::vector<TestRecord> records;
    uint64_t stream_bytes = 0;
    for (int i = 0; stream_bytes < 2 * kRawBlockSize + 20000; ++i) {
        const size_t n = i % 97 == 0 ? 40000 : rng() % 600;
        std::string payload = i % 5 ? std::string(n, 'w') : run_testing::random_bytes(rng, n);
        records.push_back(i % 3 ? TestRecord{"key-" + std::to_string(i), std::move(payload)}
                                : run_testing::in_key_record(payload));
        stream_bytes += run_testing::record_stream({records.back()}).size();
    }
    run_testing::ScratchDir dir;
    const RunInfo info = run_testing::write_run(run_testing::system_path_ops(), dir.file("run"), records);
    const std::vector<uint8_t> original = run_testing::read_file(info.path);
    ASSERT_EQ(run_testing::block_headers(original).size(), 3u);

    auto ops = std::make_shared<MemoryOps>();
    RecordView record;
    size_t reported = 0;
    for (int iteration = 0; iteration < 10000; ++iteration) {
        std::vector<uint8_t>& file = ops->contents;
        file = original;
        std::vector<Mutation> applied;
        const int count = 1 + static_cast<int>(rng() % 3);
        for (int m = 0; m < count && !file.empty(); ++m) {
            const auto kind = static_cast<Mutation>(rng() % 5);
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
                case Mutation::Swap: {
                    const size_t other = rng() % file.size();
                    const size_t n = std::min({size_t{1} + rng() % 64, file.size() - at, file.size() - other});
                    std::swap_ranges(file.begin() + static_cast<ptrdiff_t>(at),
                                     file.begin() + static_cast<ptrdiff_t>(at + n),
                                     file.begin() + static_cast<ptrdiff_t>(other));
                    break;
                }
            }
            applied.push_back(kind);
        }

        auto reader = open_run_reader(ops, info);
        ASSERT_TRUE(reader);
        uint64_t read_records = 0;
        bool same = true;
        EngineResult<NextRecord> next = NextRecord::Record;
        for (;;) {
            next = (*reader)->next_record(record);
            if (!next || *next == NextRecord::End) break;
            ASSERT_LT(read_records, info.record_count);
            const TestRecord& want = records[read_records];
            same = same && equal_bytes(record.key, want.key) && equal_bytes(record.payload, want.payload) &&
                   record.payload_in_key == want.in_key;
            ++read_records;
        }
        if (next) {
            // A mutation that changed nothing visible to the reader (a byte set to itself, a
            // swap of equal bytes) must read back as written.
            ASSERT_TRUE(same && read_records == info.record_count)
                << "iteration " << iteration << ": damage read back silently";
            ASSERT_FALSE(applied.size() == 1 && applied[0] == Mutation::Truncate)
                << "iteration " << iteration << ": a cut file read as whole";
            continue;
        }
        ++reported;
        const EngineError& e = next.error();
        ASSERT_EQ(e.path(), info.path) << "iteration " << iteration;
        const std::string& text = e.message();
        ASSERT_EQ(text.rfind(info.path, 0), 0u) << text;
        const std::string rest = text.substr(info.path.size());
        const bool known = rest == " ended before its last record" ||
                           rest == " is corrupt: a block has an impossible length" ||
                           rest == " is corrupt: a block does not decompress to its length" ||
                           rest == " is corrupt: a block's checksum does not match" ||
                           rest == " is corrupt: a record is longer than the rest of the run";
        ASSERT_TRUE(known) << text;
    }
    // Most damage is visible: a test whose mutations all missed the data proves nothing.
    EXPECT_GT(reported, 9000u);
}

}  // namespace
}  // namespace tessarune
