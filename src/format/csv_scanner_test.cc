// The CSV scanner against hand-checked records, fed whole and in pieces. Its agreement with
// Python's csv module is checked at scale by tests/test_native_csv.py.
#include "format/csv_scanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/csv_key.h"
#include "format/utf8_check.h"

namespace tessarune::format {
namespace {

using namespace std::string_literals;

struct Scanned {
    std::string raw;
    uint64_t first_line;
    uint64_t line_count;
    std::vector<std::string> fields;
    bool operator==(const Scanned&) const = default;
};

struct ScanResult {
    std::vector<Scanned> records;
    std::string error;  // "LINE: text", or empty
};

Bytes bytes_of(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

// Scans `data` as a reader would that gets `piece` more bytes each time the scanner asks:
// its buffer is rebuilt (and so moves) on every call.
ScanResult scan(const std::string& data, size_t piece, char delimiter = ',') {
    CsvScanner scanner(static_cast<uint8_t>(delimiter));
    ScanResult result;
    size_t start = 0, available = std::min(piece, data.size());
    for (;;) {
        const std::string buffer = data.substr(start, available - start);
        const auto step = scanner.next(bytes_of(buffer), available < data.size());
        if (step == CsvScanner::Step::NeedMore) {
            EXPECT_LT(available, data.size());
            available = std::min(available + piece, data.size());
            continue;
        }
        if (step == CsvScanner::Step::End) return result;
        if (step == CsvScanner::Step::Error) {
            result.error = std::to_string(scanner.error().line) + ": " + scanner.error().text();
            EXPECT_EQ(scanner.next(bytes_of(buffer), false), CsvScanner::Step::Error);
            return result;
        }
        const CsvRecord& r = scanner.record();
        Scanned s{buffer.substr(0, r.length), r.first_line, r.line_count, {}};
        for (Bytes f : r.fields) s.fields.emplace_back(reinterpret_cast<const char*>(f.data()), f.size());
        result.records.push_back(std::move(s));
        start += r.length;
    }
}

// Every kind of record boundary and field, and a lone "\r" last, where only the end of the
// input tells it from "\r\n".
const std::string kSample =
    "a,\"b,\"\"c\"\"\",d\"e\"\r\n"
    "\n"
    "\"multi\r\nline\rfield\",\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\r"
    "\r\n"
    ",\"\",x\0y\n"
    "last,\"\"\"\"\r"s;

TEST(CsvScanner, ReadsTheSampleAlikeWholeAndInEveryPieceSize) {
    const std::vector<Scanned> expected = {
        {"a,\"b,\"\"c\"\"\",d\"e\"\r\n", 1, 1, {"a", "b,\"c\"", "d\"e\""}},
        {"\n", 2, 1, {}},
        {"\"multi\r\nline\rfield\",\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\r", 3, 3,
         {"multi\r\nline\rfield", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"}},
        {"\r\n", 6, 1, {}},
        {",\"\",x\0y\n"s, 7, 1, {"", "", "x\0y"s}},
        {"last,\"\"\"\"\r", 8, 1, {"last", "\""}},
    };
    for (size_t piece = 1; piece <= kSample.size(); ++piece) {
        const ScanResult got = scan(kSample, piece);
        EXPECT_EQ(got.error, "") << "piece " << piece;
        EXPECT_EQ(got.records, expected) << "piece " << piece;
    }
}

TEST(CsvScanner, ReadsFieldsFarBeyondTheCsvModuleLimitInPieces) {
    std::string field;
    for (int i = 0; i < 40000; ++i) field += "ab\"\"c\r\n\xe2\x82\xac";  // 400 KB, 80000 lines
    const std::string data = "k,\"" + field + "\"\nnext\n";
    const ScanResult got = scan(data, 4096);
    ASSERT_EQ(got.error, "");
    ASSERT_EQ(got.records.size(), 2u);
    std::string unquoted;
    for (int i = 0; i < 40000; ++i) unquoted += "ab\"c\r\n\xe2\x82\xac";
    EXPECT_EQ(got.records[0].fields, (std::vector<std::string>{"k", unquoted}));
    EXPECT_EQ(got.records[0].line_count, 40001u);
    EXPECT_EQ(got.records[1].first_line, 40002u);
}

TEST(CsvScanner, ReportsTheFirstFaultOnItsLine) {
    struct Case {
        std::string data;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"a\nb,\"c\"d\ne\n", "2: not CSV: ',' expected after '\"'"},
        // A bad byte later on the faulty line is reported instead: it fails the decoding first.
        {"a\nb,\"c\"d\xff\ne\xff\n", "2: not UTF-8: can't decode byte 0xff: invalid start byte"},
        {"a\n\"b\r\n\r\n", "3: not CSV: unexpected end of data"},
        {"a\n\"b\r\nc", "3: not CSV: unexpected end of data"},
        {"a\n\"b\nc\xed\xa0\x80\"\n", "3: not UTF-8: can't decode byte 0xed: invalid continuation byte"},
        {"a\nb\xe2\x82", "2: not UTF-8: can't decode byte 0xe2: unexpected end of data"},
        {"a\nb\xe2\x82\n", "2: not UTF-8: can't decode byte 0xe2: invalid continuation byte"},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, c.data.size()}) {
            EXPECT_EQ(scan(c.data, piece).error, c.error) << c.data << " piece " << piece;
        }
    }
}

TEST(Utf8Check, RejectsWhatPythonsCodecRejects) {
    struct Case {
        std::string bytes;
        Utf8Sequence::Kind kind;
    };
    const std::vector<Case> cases = {
        {"\xc2\x80", Utf8Sequence::Valid},         {"\xdf\xbf", Utf8Sequence::Valid},
        {"\xe0\xa0\x80", Utf8Sequence::Valid},     {"\xed\x9f\xbf", Utf8Sequence::Valid},
        {"\xee\x80\x80", Utf8Sequence::Valid},     {"\xf0\x90\x80\x80", Utf8Sequence::Valid},
        {"\xf4\x8f\xbf\xbf", Utf8Sequence::Valid}, {"\x80", Utf8Sequence::Invalid},
        {"\xc1\xbf", Utf8Sequence::Invalid},       {"\xe0\x9f\xbf", Utf8Sequence::Invalid},
        {"\xed\xa0\x80", Utf8Sequence::Invalid},   {"\xf0\x8f\xbf\xbf", Utf8Sequence::Invalid},
        {"\xf4\x90\x80\x80", Utf8Sequence::Invalid}, {"\xf5\x80\x80\x80", Utf8Sequence::Invalid},
        {"\xe2\x82\x41", Utf8Sequence::Invalid},   {"\xe2\x82", Utf8Sequence::Truncated},
        {"\xf0\x90\x80", Utf8Sequence::Truncated}, {"\xe0\x80", Utf8Sequence::Invalid},
    };
    for (const Case& c : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.bytes.data());
        const Utf8Sequence s = read_utf8_sequence(p, p + c.bytes.size());
        EXPECT_EQ(s.kind, c.kind) << testing::PrintToString(c.bytes);
        if (s.kind == Utf8Sequence::Valid) {
            EXPECT_EQ(s.length, c.bytes.size());
        }
    }
}

TEST(CsvKey, TypedColumnsOrderByValueWithNullsWhereAsked) {
    // A number descending with nulls last; an empty cell is null for it, but text for a text key.
    const RecordKey number{.path = {"n"}, .name = "n", .type = KeyType::Number, .descending = true, .nulls = NullOrder::Last};
    const RecordKey text{.path = {"t"}, .name = "t", .nulls = NullOrder::Last};
    const CsvKeyPlan plan{{0, 1}, {number, text}};
    DecimalIntKey ints;
    auto key_of = [&](const std::string& n, const std::string& t) {
        const std::vector<Bytes> fields = {bytes_of(n), bytes_of(t)};
        ByteBuffer out;
        EXPECT_TRUE(append_csv_key(plan, fields, ints, out).ok()) << n;
        return std::string(out.span().begin(), out.span().end());
    };
    const std::vector<std::string> ordered = {key_of("1e3", "a"), key_of(" 10 ", ""),  key_of("10", "a"),
                                              key_of("3.5", "b"), key_of("-1", "a"),   key_of("", "")};
    EXPECT_TRUE(std::is_sorted(ordered.begin(), ordered.end()));
    EXPECT_EQ(key_of("10.0", "a"), key_of("10", "a"));

    ByteBuffer out;
    const std::string ten = "ten", x = "x";
    const std::vector<Bytes> bad = {bytes_of(ten), bytes_of(x)};
    const auto refused = append_csv_key(plan, bad, ints, out);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error(), "the value of n is not a number: \"ten\"");
    const std::string one = "1";
    const std::vector<Bytes> short_row = {bytes_of(one)};
    EXPECT_EQ(append_csv_key(plan, short_row, ints, out).error(), "the row has no column t");
}

}  // namespace
}  // namespace tessarune::format
