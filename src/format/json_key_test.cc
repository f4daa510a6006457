// The JSON key reader's own contract: what it appends composes the key encoding as the Python
// keying does, a refused line leaves the output as it was, no line is too deep for it, and the
// reused buffers carry nothing from one line to the next. Agreement with Python on every kind
// of line is the differential test's job (tests/test_native_json_keys.py).
#include "format/json_key.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "format/record_keyers.h"
#include "key/key_encoding.h"

namespace tessarune::format {
namespace {

Bytes as_bytes(std::string_view s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

std::string key_of(JsonKeyReader& reader, std::string_view line) {
    ByteBuffer out;
    if (!reader.append_key(as_bytes(line), out)) return "refused: " + reader.error();
    return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

std::string str_key(std::string_view s) {
    ByteBuffer out;
    append_escaped(TAG_STR, as_bytes(s), out);
    return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

std::string int_key(int64_t x) {
    ByteBuffer out;
    append_number_i128(x, out);
    return std::string(reinterpret_cast<const char*>(out.data()), out.size());
}

// Keys of the given paths, text, ascending, nulls low.
std::vector<RecordKey> keys(std::initializer_list<std::vector<std::string>> paths) {
    std::vector<RecordKey> out;
    for (const auto& path : paths) out.push_back(RecordKey{.path = path, .name = path.empty() ? "" : path[0]});
    return out;
}

std::string part(const std::string& value) { return std::string(1, static_cast<char>(kValueMarker)) + value; }
const std::string kNull(1, static_cast<char>(kNullFirstMarker));
const std::string kList(1, static_cast<char>(TAG_LIST));
const std::string kEnd(1, static_cast<char>(TAG_END));
const std::string kNone(1, static_cast<char>(TAG_NONE));

TEST(JsonKeyReader, PathsFollowPythonsLastDuplicateAndStopAtNull) {
    JsonKeyReader reader(keys({{"user", "id"}, {"ts"}, {"gone", "deeper"}}));
    EXPECT_EQ(key_of(reader, R"({"user": {"id": 7}, "ts": "a\u0000b", "ts": "c"})"),
              part(int_key(7)) + part(str_key("c")) + kNull);
    // A later "user" replaces the whole earlier object, so its id is gone.
    EXPECT_EQ(key_of(reader, R"({"user": {"id": 7}, "user": {"name": 1}, "ts": true, "gone": null})"),
              kNull + part(int_key(1)) + kNull);
    // A path through a scalar or a list finds None, as dict.get is never reached.
    EXPECT_EQ(key_of(reader, R"({"user": [{"id": 1}], "ts": null, "gone": 3})"), kNull + kNull + kNull);
    EXPECT_EQ(key_of(reader, R"([1, 2])"), kNull + kNull + kNull);
    // A field there as null counts as found; a step through null or a scalar does not.
    EXPECT_EQ(reader.keys_found(), (std::vector<bool>{true, true, false}));
}

TEST(JsonKeyReader, TypedKeysReadTheirValuesOrSayWhyNot) {
    std::vector<RecordKey> typed = keys({{"n"}, {"t"}});
    typed[0].type = KeyType::Number;
    typed[1].type = KeyType::Timestamp;
    typed[1].descending = true;
    JsonKeyReader reader(typed);
    // One instant, three spellings (an offset, Z, epoch seconds); a big int is still a number.
    const std::string same = key_of(reader, R"({"n": 1, "t": "2025-01-02T00:00:00+02:00"})");
    EXPECT_EQ(key_of(reader, R"({"n": 1.0, "t": "2025-01-01T22:00:00Z"})"), same);
    EXPECT_EQ(key_of(reader, R"({"n": 1, "t": 1735768800})"), same);
    EXPECT_LT(key_of(reader, R"({"n": 123456789012345678901234567890, "t": null})"),
              key_of(reader, R"({"n": 123456789012345678901234567891, "t": null})"));
    // Descending: the later instant first, a null (low) last.
    EXPECT_LT(key_of(reader, R"({"t": "2025-01-01T23:30:00Z"})"), key_of(reader, R"({"t": "2025-01-01T22:00:00Z"})"));
    EXPECT_LT(key_of(reader, R"({"t": "0001-01-01"})"), key_of(reader, R"({"t": null})"));
    EXPECT_EQ(key_of(reader, R"({"n": "10"})"), "refused: the value of n is not a number: \"10\"");
    EXPECT_EQ(key_of(reader, R"({"n": true})"), "refused: the value of n is not a number: true");
    EXPECT_EQ(key_of(reader, R"({"t": "yesterday"})"), "refused: the value of t is not a timestamp: \"yesterday\"");
}

TEST(JsonKeyReader, WholeValueIsAListOfKeysOrAScalar) {
    JsonKeyReader reader({});
    EXPECT_EQ(key_of(reader, R"(["x", [false, null]])"),
              kList + str_key("x") + kList + int_key(0) + kNone + kEnd + kEnd);
    EXPECT_EQ(key_of(reader, R"("x")"), str_key("x"));
    // The key walk refuses a list at depth 256, so the deepest list kept is at depth 255.
    EXPECT_EQ(key_of(reader, std::string(256, '[') + std::string(256, ']')).find("refused"), std::string::npos);
    EXPECT_EQ(key_of(reader, std::string(257, '[') + std::string(257, ']')),
              "refused: a sort key is nested more than 256 deep");
}

TEST(JsonKeyReader, NoNestingOverflowsTheStack) {
    JsonKeyReader whole({});
    JsonKeyReader by_path(keys({{"a"}}));
    const std::string deep = std::string(1'000'000, '[') + std::string(1'000'000, ']');
    const std::string refused = "refused: not JSON: nested more than 10000 deep at column 10001";
    EXPECT_EQ(key_of(whole, deep), refused);
    EXPECT_EQ(key_of(by_path, deep), refused);
    EXPECT_EQ(key_of(by_path, std::string(1'000'000, '{')),
              "refused: not JSON: expecting a property name in double quotes at column 2");
    // Within the limit a deep value off the path does not stop the key.
    EXPECT_EQ(key_of(by_path, R"({"a": 1, "b": )" + std::string(9000, '[') + std::string(9000, ']') + "}"),
              part(int_key(1)));
}

TEST(JsonKeyReader, RefusedLineLeavesOutputAsItWas) {
    JsonKeyReader by_path(keys({{"a"}, {"b"}}));
    JsonKeyReader whole({});
    ByteBuffer out;
    out.append(as_bytes("earlier keys"));
    // Each is refused after some of its key could have been written, by either parser (a
    // byte order mark or NaN sends a line to the exact one).
    EXPECT_FALSE(by_path.append_key(as_bytes(R"({"a": 1, "b": [1]})"), out));
    EXPECT_FALSE(by_path.append_key(as_bytes(R"({"a": NaN, "b": {"c": 1}})"), out));
    EXPECT_FALSE(by_path.append_key(as_bytes(R"({"a": 1, "b": 1} x)"), out));
    EXPECT_FALSE(whole.append_key(as_bytes(R"(["a", ["b", {"c": 1}]])"), out));
    EXPECT_FALSE(whole.append_key(as_bytes("\xEF\xBB\xBF[1e400, [{}]]"), out));
    EXPECT_FALSE(whole.append_key(as_bytes(R"({"a": 1})"), out));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), "earlier keys");
}

TEST(JsonKeyReader, ReusedBuffersCarryNothingBetweenLines) {
    JsonKeyReader reused(keys({{"k"}}));
    const std::string long_line = R"({"pad": ")" + std::string(5000, 'x') + R"(", "k": "long"})";
    // The short ones after it go through each parser and each encoding: a fast line, lines
    // with a surrogate, a big int or a mark, UTF-16, and a refused line.
    const std::string short_lines[] = {R"({"k": 12})",
                                       R"({"k"   :   "s"  })",
                                       R"({"k": "\ud800"})",
                                       R"({"k": 123456789012345678901234567890})",
                                       "\xEF\xBB\xBF{\"k\": 1.5e3}",
                                       std::string("\0{\0\"\0k\0\"\0:\0\"\0s\0\"\0}\0", 19),
                                       R"({"k": 12)"};
    ASSERT_EQ(key_of(reused, long_line).find("refused"), std::string::npos);
    const std::string padded_long = "\xEF\xBB\xBF" + long_line;
    for (const std::string& line : short_lines) {
        JsonKeyReader fresh(keys({{"k"}}));
        EXPECT_EQ(key_of(reused, line), key_of(fresh, line)) << line;
        ASSERT_EQ(key_of(reused, padded_long), key_of(fresh, long_line));
    }
}

TEST(JsonRecordKeyer, RefusedLineIsBadAndBlankLineSkipped) {
    const std::unique_ptr<RecordKeyer> keyer = make_json_keyer(keys({{"a"}}));
    ByteBuffer key;
    const std::string input = "{\"a\": [1]}\n \t\r\n{\"a\": 2}";
    KeyedRecord r = keyer->next(as_bytes(input), false, key);
    EXPECT_EQ(r.step, RecordStep::Bad);
    EXPECT_EQ(r.lines, 0u);
    EXPECT_EQ(r.error, "the value of a is a list, which is no sort key");
    EXPECT_EQ(key.size(), 0u);
    const std::string_view rest = std::string_view(input).substr(r.length);
    r = keyer->next(as_bytes(rest), false, key);
    EXPECT_EQ(r.step, RecordStep::Skipped);
    EXPECT_EQ(r.length, 4u);
    // The last line has no newline yet: more input may follow.
    EXPECT_EQ(keyer->next(as_bytes(rest.substr(r.length)), false, key).step, RecordStep::NeedMore);
}

}  // namespace
}  // namespace tessarune::format
