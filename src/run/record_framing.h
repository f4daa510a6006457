// The framing of a record in a run's record stream, shared by the writer and the reader:
// the record kinds and the LEB128 numbers that carry the lengths (see run_writer.cc).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "base/growable_array.h"
#include "key/key_encoding.h"

namespace tessarune {

// The low two bits of a record's header; the other bits are a length N.
enum RecordKind : uint8_t {
    kLineRecord = 0,      // N bytes x; the key is 40 x 00 00 and the payload x
    kInKeyRecord = 1,     // an N-byte key (N >= 3) whose bytes 1 to N - 3 are the payload
    kTwoFieldRecord = 2,  // a payload length P, an N-byte key, a P-byte payload
};
inline constexpr uint8_t kKindMask = 3;
inline constexpr unsigned kKindBits = 2;

// Every length is below 2^32, so its header (34 bits) or payload length takes at most 5 bytes.
inline constexpr size_t kMaxVarintBytes = 5;

inline constexpr size_t varint_size(uint64_t v) { return (static_cast<size_t>(std::bit_width(v | 1)) + 6) / 7; }

// Writes v at `to`; returns the bytes it took.
inline size_t put_varint(uint8_t* to, uint64_t v) {
    size_t n = 0;
    while (v >= 0x80) {
        to[n++] = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    to[n++] = static_cast<uint8_t>(v);
    return n;
}

// A key of the form 40 x 00 00, whose record is stored as a line when its payload is x.
inline bool is_line_key(Bytes key) {
    const size_t k = key.size();
    return k >= 3 && key[0] == TAG_BYTES && key[k - 2] == 0 && key[k - 1] == 0;
}

}  // namespace tessarune
