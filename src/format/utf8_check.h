// Strict UTF-8, as Python's utf-8 codec reads it: no overlong forms, no surrogates, nothing
// above U+10FFFF. A bad sequence is named by its first byte and the codec's own reason.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessarune::format {

struct Utf8Sequence {
    enum Kind : uint8_t {
        Valid,       // `length` bytes make one character
        Truncated,   // a valid start that the bytes given end inside of
        Invalid,     // `reason` says why
    };
    Kind kind;
    uint8_t length;
    const char* reason;  // the codec's words: "invalid start byte", "invalid continuation byte"
};

// Reads the sequence that starts with the byte at `p`, a byte of 0x80 or above.
// REQUIRES: p < end && *p >= 0x80
Utf8Sequence read_utf8_sequence(const uint8_t* p, const uint8_t* end);

// The codec's reason for a sequence that the data ends inside of.
inline constexpr const char* kUtf8TruncatedReason = "unexpected end of data";

}  // namespace tessarune::format
