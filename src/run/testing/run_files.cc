#include "run/testing/run_files.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <lz4.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "base/little_endian.h"
#include "base/sort_pool.h"
#include "key/key_encoding.h"
#include "run/block_hash.h"
#include "run/run_reader.h"
#include "run/run_writer.h"

namespace tessarune::run_testing {

ScratchDir::ScratchDir() {
    char templ[] = "/tmp/tr-run-test-XXXXXX";
    const char* made = ::mkdtemp(templ);
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
}

ScratchDir::~ScratchDir() {
    ::chmod(path_.c_str(), 0700);  // a test may have taken the write permission away
    system_path_ops()->remove_tree(path_);
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return names;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

Bytes as_bytes(const std::string& s) {
    return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

EngineResult<std::unique_ptr<RunWriter>> open_run_writer(const std::shared_ptr<PathFileOps>& ops,
                                                      std::string path, std::shared_ptr<SortPool> pool) {
    EngineResult<std::unique_ptr<WritableFile>> file = ops->create_new_file(path);
    if (!file) return Unexpected(file.error().at_path(path));
    return std::make_unique<RunWriter>(std::move(file).value(), std::move(path), std::move(pool));
}

EngineResult<std::unique_ptr<RunReader>> open_run_reader(const std::shared_ptr<PathFileOps>& ops,
                                                      const RunInfo& info) {
    std::unique_ptr<ReadableFile> file;
    if (info.record_count != 0) {  // as in a spill directory, no file needed without records
        EngineResult<std::unique_ptr<ReadableFile>> opened = ops->open_for_read(info.path);
        if (!opened) return Unexpected(opened.error().at_path(info.path));
        file = std::move(opened).value();
    }
    return std::make_unique<RunReader>(std::move(file), info, false);
}

RunInfo write_run(const std::shared_ptr<PathFileOps>& ops, const std::string& path,
                  const std::vector<TestRecord>& records, std::shared_ptr<SortPool> pool) {
    auto writer = open_run_writer(ops, path, std::move(pool));
    if (!writer) {
        ADD_FAILURE() << writer.error().message();
        return RunInfo{path, 0, 0};
    }
    for (const TestRecord& r : records) {
        EngineStatus s = r.in_key ? (*writer)->write_record_payload_in_key(as_bytes(r.key))
                                  : (*writer)->write_record(as_bytes(r.key), as_bytes(r.payload));
        if (!s) {
            ADD_FAILURE() << s.error().message();
            return RunInfo{path, 0, 0};
        }
    }
    EngineResult<RunInfo> info = (*writer)->finish_run();
    if (!info) {
        ADD_FAILURE() << info.error().message();
        return RunInfo{path, 0, 0};
    }
    return std::move(info).value();
}

EngineResult<NextRecord> next_copied(MergeSource& source, ByteBuffer& key, ByteBuffer& payload) {
    RecordView view;
    EngineResult<NextRecord> next = source.next_record(view);
    if (next.ok() && next.value() == NextRecord::Record) {
        key.clear();
        key.append(view.key);
        payload.clear();
        payload.append(view.payload);
    }
    return next;
}

EngineResult<std::vector<TestRecord>> read_run(const std::shared_ptr<PathFileOps>& ops, const RunInfo& info) {
    auto reader = open_run_reader(ops, info);
    if (!reader) return Unexpected(std::move(reader).error());
    std::vector<TestRecord> records;
    RecordView view;
    for (;;) {
        EngineResult<NextRecord> next = (*reader)->next_record(view);
        if (!next) return Unexpected(std::move(next).error());
        if (*next == NextRecord::End) return records;
        records.push_back({std::string(view.key.begin(), view.key.end()),
                           std::string(view.payload.begin(), view.payload.end()), view.payload_in_key});
    }
}

TestRecord in_key_record(const std::string& x, bool line) {
    const char tag = static_cast<char>(line ? TAG_BYTES : TAG_BYTES + 1);
    return {tag + x + std::string(1, '\0') + (line ? '\0' : '\1'), x, true};
}

std::vector<uint8_t> record_stream(const std::vector<TestRecord>& records) {
    std::vector<uint8_t> stream;
    auto number = [&stream](uint64_t v) {
        for (; v >= 128; v /= 128) stream.push_back(static_cast<uint8_t>(128 + v % 128));
        stream.push_back(static_cast<uint8_t>(v));
    };
    for (const TestRecord& r : records) {
        const bool line = r.in_key && r.key[0] == static_cast<char>(TAG_BYTES) && r.key.ends_with(std::string(2, '\0'));
        if (line) {
            number((r.key.size() - 3) * 4);
            stream.insert(stream.end(), r.key.begin() + 1, r.key.end() - 2);
        } else if (r.in_key) {
            number(r.key.size() * 4 + 1);
            stream.insert(stream.end(), r.key.begin(), r.key.end());
        } else {
            number(r.key.size() * 4 + 2);
            number(r.payload.size());
            stream.insert(stream.end(), r.key.begin(), r.key.end());
            stream.insert(stream.end(), r.payload.begin(), r.payload.end());
        }
    }
    return stream;
}

void store_stream(const std::string& path, const std::vector<uint8_t>& stream) {
    std::vector<uint8_t> file;
    for (size_t at = 0; at < stream.size(); at += kRawBlockSize) {
        const size_t r = std::min<size_t>(kRawBlockSize, stream.size() - at);
        std::vector<char> block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(r))));
        const int c = LZ4_compress_default(reinterpret_cast<const char*>(stream.data() + at),
                                           block.data(), static_cast<int>(r),
                                           static_cast<int>(block.size()));
        ASSERT_GT(c, 0);
        uint8_t header[kBlockHeaderSize];
        store_le32(header, static_cast<uint32_t>(c));
        store_le32(header + 4, static_cast<uint32_t>(r));
        store_le64(header + 8, block_hash(stream.data() + at, r));
        file.insert(file.end(), header, header + kBlockHeaderSize);
        file.insert(file.end(), block.begin(), block.begin() + c);
    }
    write_file(path, file);
}

std::vector<BlockHeader> block_headers(const std::vector<uint8_t>& file) {
    std::vector<BlockHeader> headers;
    size_t at = 0;
    while (at + kBlockHeaderSize <= file.size()) {
        const uint32_t c = load_le32(file.data() + at);
        headers.push_back({c, load_le32(file.data() + at + 4), at});
        at += kBlockHeaderSize + static_cast<size_t>(c);
    }
    return headers;
}

std::string random_bytes(std::mt19937_64& rng, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t v = rng();
        std::memcpy(s.data() + i, &v, std::min<size_t>(8, n - i));
    }
    return s;
}

std::vector<TestRecord> random_records(std::mt19937_64& rng, size_t count, size_t max_size) {
    std::vector<TestRecord> records;
    records.reserve(count);
    auto size = [&rng, max_size]() -> size_t {
        // Mostly small fields, sometimes empty, now and then up to max_size.
        switch (rng() % 8) {
            case 0: return 0;
            case 1: return rng() % (max_size + 1);
            default: return rng() % 40;
        }
    };
    for (size_t i = 0; i < count; ++i) {
        std::string key = random_bytes(rng, size());
        // Text-like payloads compress, random ones do not: mix both kinds of block.
        std::string payload = rng() % 2 ? random_bytes(rng, size())
                                        : std::string(size(), static_cast<char>('a' + rng() % 26));
        if (rng() % 4 == 0) {
            records.push_back(in_key_record(payload, rng() % 4 != 0));
        } else {
            records.push_back({std::move(key), std::move(payload)});
        }
    }
    return records;
}

uint64_t fresh_seed() { return std::random_device{}() * 0x100000000ull ^ std::random_device{}(); }

}  // namespace tessarune::run_testing
