#include "run/block_hash.h"

// XXH3 is compiled into this library rather than called in libxxhash: the library's
// processor dispatch lives only in its shared object, and a wheel carries no shared xxHash.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tessarune {

#if defined(__x86_64__)
// In block_hash_avx2.cc, the one file built with AVX2 enabled.
uint64_t block_hash_avx2(const uint8_t* bytes, size_t n);
#endif

namespace {

using HashFunction = uint64_t (*)(const uint8_t*, size_t);

uint64_t block_hash_baseline(const uint8_t* bytes, size_t n) {
    return XXH3_64bits(bytes, n);
}

HashFunction widest_hash() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) {
        return block_hash_avx2;
    }
#endif
    return block_hash_baseline;
}

}  // namespace

uint64_t block_hash(const uint8_t* bytes, size_t n) {
    static const HashFunction hash = widest_hash();
    return hash(bytes, n);
}

}  // namespace tessarune
