// Test support for the spill storage: scratch directories, whole-file access, runs written
// from and read back into plain records, and runs built by hand from a raw record stream.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/expected.h"
#include "base/merge_source.h"
#include "run/run_info.h"
#include "run/run_reader.h"
#include "run/run_writer.h"
#include "run/testing/path_file_ops.h"

namespace tessarune::run_testing {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
bool path_exists(const std::string& path);
std::vector<std::string> list_dir(const std::string& path);  // names, sorted

// in_key: the payload is key bytes 1 to K - 3, written with write_record_payload_in_key
// and read back as such.
struct TestRecord {
    std::string key;
    std::string payload;
    bool in_key = false;
    bool operator==(const TestRecord&) const = default;
};

// A record whose payload is in its key: a line's (TAG_BYTES x 00 00) when `line`, else
// another shape (TAG_BYTES + 1, x, 00 01).
TestRecord in_key_record(const std::string& x, bool line = true);

Bytes as_bytes(const std::string& s);

// A run file at any path, made and opened as the spill directory's runs are (errors worded
// alike); its reader drops nothing from the file, which may be read again.
EngineResult<std::unique_ptr<RunWriter>> open_run_writer(const std::shared_ptr<PathFileOps>& ops,
                                                      std::string path, std::shared_ptr<SortPool> pool);
EngineResult<std::unique_ptr<RunReader>> open_run_reader(const std::shared_ptr<PathFileOps>& ops,
                                                      const RunInfo& info);

// Writes the records through a RunWriter; fails the current test on an error.
RunInfo write_run(const std::shared_ptr<PathFileOps>& ops, const std::string& path,
                  const std::vector<TestRecord>& records,
                  std::shared_ptr<SortPool> pool = nullptr);

// MergeSource::next_record, copied into the caller's buffers (previous content replaced), for
// callers that keep a record beyond the next call.
EngineResult<NextRecord> next_copied(MergeSource& source, ByteBuffer& key, ByteBuffer& payload);

// Reads every record of a run until the end, or the first error.
EngineResult<std::vector<TestRecord>> read_run(const std::shared_ptr<PathFileOps>& ops, const RunInfo& info);

// The record stream of the records: what a run holds uncompressed, laid out here apart from
// the writer's code.
std::vector<uint8_t> record_stream(const std::vector<TestRecord>& records);

// Stores a raw record stream as a run file, independently of RunWriter.
void store_stream(const std::string& path, const std::vector<uint8_t>& stream);

// The (C, R) headers of the blocks of a run file, in order, walking the headers only.
struct BlockHeader {
    uint32_t compressed_length;
    uint32_t raw_length;
    size_t offset;  // of the header in the file
};
std::vector<BlockHeader> block_headers(const std::vector<uint8_t>& file);

// Random records with sizes mixed from empty to several blocks, a quarter of them with the
// payload in the key (lines and other shapes); duplicates and prefixes are irrelevant here,
// only the bytes must come back.
std::vector<TestRecord> random_records(std::mt19937_64& rng, size_t count, size_t max_size);
std::string random_bytes(std::mt19937_64& rng, size_t n);

// A seed for a randomised test: different each run; print it on failure (SCOPED_TRACE).
uint64_t fresh_seed();

}  // namespace tessarune::run_testing
