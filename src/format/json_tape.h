// A JSON text parsed as Python's json module reads it (json.loads of a str), into a flat
// list of nodes in document order.
//
// What Python accepts beyond strict JSON is accepted: NaN, Infinity and -Infinity, numbers
// that overflow or underflow a double (they round to infinity or zero), integers of any
// length up to Python's 4300 digits, and lone surrogate escapes, which are kept as code
// points of their own. Nesting deeper than kMaxDepth is refused: Python's own limit depends
// on the stack it runs on, and is deeper.
//
// The parse is a loop over an explicit stack, never recursion, so no line can overflow the
// thread's stack. The buffers grow to the largest line and are reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/growable_array.h"

namespace tessarune::format {

enum class JsonKind : uint8_t { Null, False, True, Int, Float, String, Array, Object };

struct JsonNode {
    JsonKind kind = JsonKind::Null;
    bool negative = false;  // Int: the sign
    size_t begin = 0;       // Int: where its digits start in the text; String: in strings()
    size_t end = 0;         // Int, String: where they end; Array, Object: the index of the
                            // first node after everything inside
    double number = 0;      // Float
};

struct JsonSyntaxError {
    std::string reason;
    size_t offset = 0;  // in the text
};

// An object's node is followed by its members, each a String node for the name and then
// the value's nodes; an array's by its items'.
class JsonTape {
public:
    static constexpr size_t kMaxDepth = 10000;
    static constexpr size_t kMaxIntDigits = 4300;

    // Parses the whole of `text` (generalized UTF-8, see json_text.h); false with error() set
    // when Python would refuse it. The tape refers to `text`, which must outlive its use.
    bool parse(Bytes text);

    const JsonNode& node(size_t i) const { return nodes_[i]; }
    size_t size() const { return nodes_.size(); }
    // A string's value, escapes resolved, in generalized UTF-8.
    Bytes string(const JsonNode& n) const { return Bytes(strings_.data() + n.begin, n.end - n.begin); }
    // An int's decimal digits, without the sign.
    Bytes digits(const JsonNode& n) const { return text_.subspan(n.begin, n.end - n.begin); }
    // The index of the node after the one at `i` and everything inside it.
    size_t skip(size_t i) const {
        const JsonNode& n = nodes_[i];
        return n.kind == JsonKind::Array || n.kind == JsonKind::Object ? n.end : i + 1;
    }
    const JsonSyntaxError& error() const { return error_; }

private:
    bool fail(const char* reason, size_t offset);
    bool scalar(size_t& p);
    bool number(size_t& p);
    bool string(size_t& p);
    bool member_name(size_t& p);
    bool open(JsonKind kind, size_t p);
    void close();
    size_t skip_blanks(size_t p) const;
    uint8_t at(size_t p) const { return p < text_.size() ? text_[p] : 0; }
    bool matches(size_t p, const char* word) const;

    Bytes text_;
    std::vector<JsonNode> nodes_;
    std::vector<size_t> open_;  // the containers not yet closed, innermost last
    ByteBuffer strings_;
    JsonSyntaxError error_;
};

}  // namespace tessarune::format
