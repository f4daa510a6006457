// The order of key bytes: unsigned bytes, a proper prefix first. Every comparison of keys in
// the sort and the merge comes down to this.
#pragma once

#include <cstring>

#include "base/growable_array.h"
#include "base/little_endian.h"

namespace tessarune {

// Compares two key byte strings as unsigned bytes, a proper prefix first. <0, 0, >0.
int compare_keys(Bytes a, Bytes b);

// Key bytes [offset, offset + 8) as a big-endian word, zero-padded: equal-length windows
// compare as the keys do, and equal windows leave the order to the whole keys.
inline uint64_t key_window(Bytes key, size_t offset) {
    if (key.size() >= offset + 8) return load_be64(key.data() + offset);
    uint8_t padded[8] = {};
    if (key.size() > offset) std::memcpy(padded, key.data() + offset, key.size() - offset);
    return load_be64(padded);
}

}  // namespace tessarune
