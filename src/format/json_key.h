// JSON Lines keys read in C++: the key bytes of one line's JSON value, exactly as the command
// line's Python keying gives them (json.loads, then the values at dotted paths as a tuple, or
// the whole value with no path, then the key walk), for the lines that can be keyed exactly
// here. Every other line is declined and goes the Python way, which gives its key or its error.
//
// A line is declined when Python would refuse it or its key (not JSON, an object or array at a
// path, an object as the whole value or inside it, a list nested too deep), and when the parser
// cannot give Python's value exactly: ints beyond 64 bits, NaN and Infinity, numbers that
// overflow a double, lone surrogate escapes, bytes that are not UTF-8 (Python reads encoded
// surrogates), a byte order mark, nesting beyond the parser's limit. Ordinary records are never
// declined.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/growable_array.h"

namespace tessarune::format {

// One per adding call or thread: it holds the parser and its buffers, which grow to the
// longest line seen and are reused, so keying a line allocates nothing once they have grown.
class JsonKeyReader {
public:
    // Each path is a dotted path already split at '.'; no paths: the key is the whole value.
    explicit JsonKeyReader(std::vector<std::vector<std::string>> paths);
    ~JsonKeyReader();
    JsonKeyReader(JsonKeyReader&&) noexcept;
    JsonKeyReader& operator=(JsonKeyReader&&) noexcept;
    JsonKeyReader(const JsonKeyReader&) = delete;
    JsonKeyReader& operator=(const JsonKeyReader&) = delete;

    // Appends the key bytes of one line (no newline; never blank) and returns true, or returns
    // false with `out` as it was when the line must be keyed the reference way. Throws
    // std::bad_alloc when `out` or the line's buffer cannot grow, with `out` partly written.
    bool append_key(Bytes line, ByteBuffer& out);

private:
    struct Parser;  // keeps the parser's large header out of every includer

    std::vector<std::vector<std::string>> paths_;
    std::unique_ptr<Parser> parser_;
    ByteBuffer padded_;  // the line copied with the zeroed tail the parser reads past its end
};

}  // namespace tessarune::format
