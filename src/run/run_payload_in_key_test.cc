// Records whose payload is stored inside their key: through a run file and back, and the
// damaged forms of their mark.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/little_endian.h"
#include "base/record_buffer.h"
#include "run/run_reader.h"
#include "run/run_writer.h"
#include "run/testing/run_files.h"

namespace tessarune {
namespace {

using run_testing::ScratchDir;

Bytes as_bytes(const std::string& s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
std::string as_string(Bytes b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

struct Written {
    std::string key;
    std::string payload;  // what must come back
    bool in_key;
};

std::string file_bytes(const std::string& path) {
    const auto bytes = run_testing::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// A whole buffer written at once must make the very file that writing its records one by
// one makes: records that end exactly at a block's end, that cross one, both kinds mixed.
TEST(RunPayloadInKey, AWholeBufferIsWrittenAsItsRecordsOneByOne) {
    ScratchDir dir;
    RecordBuffer buffer;
    std::vector<Written> records;
    uint64_t stream = 0;
    for (size_t i = 0; i < 6000; ++i) {
        const bool in_key = i % 5 != 0;
        size_t n = i % 700 == 0 ? 150000 : 1 + (i * 37) % 120;
        // Near a block's end, a record of either kind that ends it exactly (12 + n bytes
        // stored once, 11 + n + P bytes otherwise).
        const std::string payload = "p" + std::to_string(i);
        const uint64_t room = kRawBlockSize - stream % kRawBlockSize;
        const uint64_t fixed = in_key ? 12 : 11 + payload.size();
        if (room > fixed && room <= fixed + 120) n = room - fixed;
        const std::string raw(n, static_cast<char>('a' + i % 26));
        const std::string key = "@" + raw + std::string(2, '\0');
        stream += in_key ? 9 + key.size() : 8 + key.size() + payload.size();
        records.push_back({key, in_key ? raw : payload, in_key});
        if (in_key) {
            buffer.append_payload_in_key(as_bytes(key));
        } else {
            buffer.append(as_bytes(key), as_bytes(records.back().payload));
        }
    }
    auto whole = open_run_writer(run_testing::system_path_ops(), dir.file("whole"), nullptr);
    auto single = open_run_writer(run_testing::system_path_ops(), dir.file("single"), nullptr);
    ASSERT_TRUE(whole.ok() && single.ok());
    ASSERT_TRUE((*whole)->write_buffer(buffer).ok());
    for (const Written& r : records) {
        ASSERT_TRUE((r.in_key ? (*single)->write_record_payload_in_key(as_bytes(r.key))
                              : (*single)->write_record(as_bytes(r.key), as_bytes(r.payload)))
                        .ok());
    }
    auto a = (*whole)->finish_run();
    auto b = (*single)->finish_run();
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(a->record_count, b->record_count);
    EXPECT_EQ(a->byte_count, b->byte_count);
    EXPECT_TRUE(file_bytes(a->path) == file_bytes(b->path));
}

TEST(RunPayloadInKey, KeysHoldThePayloadAcrossBlocksAndAmongOrdinaryRecords) {
    ScratchDir dir;
    std::vector<Written> records;
    for (size_t n : {0, 1, 97, 140000, 5, 300000, 2}) {
        const std::string raw(n, static_cast<char>('a' + n % 26));
        records.push_back({"@" + raw + std::string(2, '\0'), raw, true});
        records.push_back({"@" + raw + std::string(2, '\0'), "other" + std::to_string(n), false});
    }
    auto writer = open_run_writer(run_testing::system_path_ops(), dir.file("run"), nullptr);
    ASSERT_TRUE(writer.ok());
    uint64_t stream = 0;
    for (const Written& r : records) {
        EngineStatus s = r.in_key ? (*writer)->write_record_payload_in_key(as_bytes(r.key))
                              : (*writer)->write_record(as_bytes(r.key), as_bytes(r.payload));
        ASSERT_TRUE(s.ok());
        stream += r.in_key ? 9 + r.key.size() : 8 + r.key.size() + r.payload.size();
    }
    auto info = (*writer)->finish_run();
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->byte_count, stream);

    auto reader = open_run_reader(run_testing::system_path_ops(), *info);
    ASSERT_TRUE(reader.ok());
    RecordView view;
    for (size_t i = 0; i < records.size(); ++i) {
        auto next = (*reader)->next_record(view);
        ASSERT_TRUE(next.ok()) << next.error().message();
        ASSERT_EQ(*next, NextRecord::Record);
        EXPECT_EQ(as_string(view.key), records[i].key) << i;
        EXPECT_EQ(as_string(view.payload), records[i].payload) << i;
        EXPECT_EQ(view.payload_in_key, records[i].in_key) << i;
    }
    auto end = (*reader)->next_record(view);
    ASSERT_TRUE(end.ok());
    EXPECT_EQ(*end, NextRecord::End);
}

std::vector<uint8_t> escaped_record(const std::string& key, const std::string& tail) {
    uint8_t length[4];
    std::string out;
    store_le32(length, static_cast<uint32_t>(key.size()));
    out.append(reinterpret_cast<const char*>(length), 4);
    out += key;
    store_le32(length, kPayloadLengthEscape);
    out.append(reinterpret_cast<const char*>(length), 4);
    out += tail;
    return std::vector<uint8_t>(out.begin(), out.end());
}

TEST(RunPayloadInKey, DamagedMarksAreCorrupt) {
    ScratchDir dir;
    const std::string path = dir.file("run");
    const std::string key("@x\0\0", 4);
    struct Case {
        std::vector<uint8_t> stream;
        std::string check;
    };
    const std::vector<Case> cases = {
        {escaped_record("ab", "\x01"), "a record's key cannot hold its payload"},
        {escaped_record(key, "\x02"), "a record has an unknown flag"},
        {escaped_record(key, ""), "a record is longer than the rest of the run"},
        {escaped_record(key, std::string("\0p", 2)), "a record is longer than the rest of the run"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.check);
        run_testing::store_stream(path, c.stream);
        auto back = run_testing::read_run(run_testing::system_path_ops(), RunInfo{path, 1, c.stream.size()});
        ASSERT_FALSE(back.ok());
        EXPECT_EQ(back.error().kind(), ErrorKind::InvalidData);
        EXPECT_EQ(back.error().message(), path + " is corrupt: " + c.check);
    }
}

}  // namespace
}  // namespace tessarune
