// JSON Lines keys read in C++: the key bytes of one line's JSON value, exactly as the Python
// keying gives them (json.loads of the line's bytes with its newline, then the values at
// dotted paths as a tuple, or the whole value with no path, then the key walk), or the
// message for a line that it refuses.
//
// Every line is keyed here. The usual line goes through a fast validating parser; a line that
// parser cannot give Python's value for (ints beyond 64 bits, NaN and Infinity, numbers that
// overflow a double, lone surrogates, a byte order mark, UTF-16 or UTF-32 text, deep nesting)
// or that is refused goes through a slower parser written after Python's (json_tape.h),
// which also words the refusal. Nesting deeper than JsonTape::kMaxDepth is refused.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/growable_array.h"
#include "format/record_key.h"
#include "format/typed_value.h"

namespace tessarune::format {

// One per adding call or thread: it holds the parsers and their buffers, which grow to the
// longest line seen and are reused, so keying a line allocates nothing once they have grown.
class JsonKeyReader {
public:
    // Each key's path is its steps; no keys: the key is the whole value. `python_tuple`: the
    // keys' values (text keys only) make key_bytes of the tuple of Python's values for them,
    // as the module's own keying of JSON Lines does, instead of the job's key parts.
    explicit JsonKeyReader(std::vector<RecordKey> keys, bool python_tuple = false);
    ~JsonKeyReader();
    JsonKeyReader(JsonKeyReader&&) noexcept;
    JsonKeyReader& operator=(JsonKeyReader&&) noexcept;
    JsonKeyReader(const JsonKeyReader&) = delete;
    JsonKeyReader& operator=(const JsonKeyReader&) = delete;

    // Appends the key bytes of one line (no newline; never blank) and returns true, or returns
    // false with `out` as it was and error() saying why the line has no key. Throws
    // std::bad_alloc when a buffer cannot grow, with `out` partly written.
    bool append_key(Bytes line, ByteBuffer& out);

    // Why the last line refused was refused: "not JSON: ..." or what the keying objects to.
    const std::string& error() const { return error_; }

    // For each key, whether any line keyed so far had its field (null or not).
    const std::vector<bool>& keys_found() const { return found_; }

private:
    struct Parser;  // keeps the parsers' large headers out of every includer

    bool append_fast(size_t length, ByteBuffer& out);
    bool append_exact(size_t length, ByteBuffer& out);
    bool append_value(size_t key, const ScalarValue& value, ByteBuffer& out);

    std::vector<RecordKey> keys_;
    bool python_tuple_;
    std::vector<bool> found_;
    std::unique_ptr<Parser> parser_;
    ByteBuffer padded_;  // the line copied with the zeroed tail the fast parser reads past its end
    std::string error_;
};

}  // namespace tessarune::format
