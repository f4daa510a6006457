// The checksum of a run block's raw bytes: XXH3, 64 bits, seed 0.
#pragma once

#include <xxhash.h>
#if defined(__x86_64__)
#define XXH_DISPATCH_DISABLE_REPLACE 1
#include <xxh_x86dispatch.h>
#endif

#include <cstddef>
#include <cstdint>

namespace tessarune {

inline uint64_t block_hash(const uint8_t* bytes, size_t n) {
#if defined(__x86_64__)
    // The library picks the widest vector unit the processor has (AVX2 where present); the
    // plain entry point is built for the baseline and hashes at about half the speed.
    return XXH3_64bits_dispatch(bytes, n);
#else
    return XXH3_64bits(bytes, n);
#endif
}

}  // namespace tessarune
