// Records whose payload is stored inside their key: through a run file and back, and the
// damaged forms of their mark.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/little_endian.h"
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

TEST(RunPayloadInKey, KeysHoldThePayloadAcrossBlocksAndAmongOrdinaryRecords) {
    ScratchDir dir;
    std::vector<Written> records;
    for (size_t n : {0, 1, 97, 140000, 5, 300000, 2}) {
        const std::string raw(n, static_cast<char>('a' + n % 26));
        records.push_back({"@" + raw + std::string(2, '\0'), raw, true});
        records.push_back({"@" + raw + std::string(2, '\0'), "other" + std::to_string(n), false});
    }
    auto writer = open_run_writer(FileOps::system(), dir.file("run"), nullptr);
    ASSERT_TRUE(writer.ok());
    uint64_t stream = 0;
    for (const Written& r : records) {
        IoStatus s = r.in_key ? (*writer)->write_record_payload_in_key(as_bytes(r.key))
                              : (*writer)->write_record(as_bytes(r.key), as_bytes(r.payload));
        ASSERT_TRUE(s.ok());
        stream += r.in_key ? 9 + r.key.size() : 8 + r.key.size() + r.payload.size();
    }
    auto info = (*writer)->finish_run();
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(info->byte_count, stream);

    auto reader = open_run_reader(FileOps::system(), *info);
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
        auto back = run_testing::read_run(FileOps::system(), RunInfo{path, 1, c.stream.size()});
        ASSERT_FALSE(back.ok());
        EXPECT_EQ(back.error().kind(), IoErrorKind::InvalidData);
        EXPECT_EQ(back.error().message(), path + " is corrupt: " + c.check);
    }
}

}  // namespace
}  // namespace tessarune
