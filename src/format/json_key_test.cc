// The JSON key reader's own contract: what it appends composes the key encoding as the Python
// keying does, a declined line leaves the output as it was, and the reused buffers carry
// nothing from one line to the next. Agreement with Python on every kind of line is the
// differential test's job (tests/test_native_json_keys.py).
#include "format/json_key.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "key/key_encoding.h"

namespace tessarune::format {
namespace {

Bytes as_bytes(std::string_view s) { return Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

std::string key_of(JsonKeyReader& reader, std::string_view line) {
    ByteBuffer out;
    if (!reader.append_key(as_bytes(line), out)) return "declined";
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

const std::string kTuple(1, static_cast<char>(TAG_TUPLE));
const std::string kList(1, static_cast<char>(TAG_LIST));
const std::string kEnd(1, static_cast<char>(TAG_END));
const std::string kNone(1, static_cast<char>(TAG_NONE));

TEST(JsonKeyReader, PathsFollowPythonsLastDuplicateAndStopAtNull) {
    JsonKeyReader reader({{"user", "id"}, {"ts"}, {"gone", "deeper"}});
    EXPECT_EQ(key_of(reader, R"({"user": {"id": 7}, "ts": "a\u0000b", "ts": "c"})"),
              kTuple + int_key(7) + str_key("c") + kNone + kEnd);
    // A later "user" replaces the whole earlier object, so its id is gone.
    EXPECT_EQ(key_of(reader, R"({"user": {"id": 7}, "user": {"name": 1}, "ts": true, "gone": null})"),
              kTuple + kNone + int_key(1) + kNone + kEnd);
    // A path through a scalar or a list finds None, as dict.get is never reached.
    EXPECT_EQ(key_of(reader, R"({"user": [{"id": 1}], "ts": null, "gone": 3})"), kTuple + kNone + kNone + kNone + kEnd);
    EXPECT_EQ(key_of(reader, R"([1, 2])"), kTuple + kNone + kNone + kNone + kEnd);
}

TEST(JsonKeyReader, WholeValueIsAListOfKeysOrAScalar) {
    JsonKeyReader reader({});
    EXPECT_EQ(key_of(reader, R"(["x", [false, null]])"),
              kList + str_key("x") + kList + int_key(0) + kNone + kEnd + kEnd);
    EXPECT_EQ(key_of(reader, R"("x")"), str_key("x"));
    // The key walk refuses a list at depth 256, so the deepest list kept is at depth 255.
    EXPECT_NE(key_of(reader, std::string(256, '[') + std::string(256, ']')), "declined");
    EXPECT_EQ(key_of(reader, std::string(257, '[') + std::string(257, ']')), "declined");
}

TEST(JsonKeyReader, DeclinedLineLeavesOutputAsItWas) {
    JsonKeyReader by_path({{"a"}, {"b"}});
    JsonKeyReader whole({});
    ByteBuffer out;
    out.append(as_bytes("earlier keys"));
    // Each is declined after part of its key could have been written.
    EXPECT_FALSE(by_path.append_key(as_bytes(R"({"a": 1, "b": [1]})"), out));
    EXPECT_FALSE(by_path.append_key(as_bytes(R"({"a": 1, "b": {"c": 1}})"), out));
    EXPECT_FALSE(by_path.append_key(as_bytes(R"({"a": 1, "b": 1} x)"), out));
    EXPECT_FALSE(whole.append_key(as_bytes(R"(["a", ["b", {"c": 1}]])"), out));
    EXPECT_FALSE(whole.append_key(as_bytes(R"({"a": 1})"), out));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), "earlier keys");
}

TEST(JsonKeyReader, ReusedBuffersCarryNothingBetweenLines) {
    JsonKeyReader reused({{"k"}});
    const std::string long_line = R"({"pad": ")" + std::string(5000, 'x') + R"(", "k": "long"})";
    const std::string short_lines[] = {R"({"k": 12)", R"({"k": 12})", R"({"k"   :   "s"  })", R"({"k": 1.5e3})"};
    ASSERT_NE(key_of(reused, long_line), "declined");
    for (const std::string& line : short_lines) {
        JsonKeyReader fresh({{"k"}});
        EXPECT_EQ(key_of(reused, line), key_of(fresh, line)) << line;
    }
    EXPECT_EQ(key_of(reused, R"({"k": 12)"), "declined");
}

}  // namespace
}  // namespace tessarune::format
