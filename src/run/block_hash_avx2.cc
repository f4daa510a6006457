// Built with -mavx2 and called only where the processor has AVX2. It includes nothing but
// xxHash, whose functions XXH_INLINE_ALL makes static, so no AVX2 code can stand in for an
// inline function that other files share.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace tessarune {

uint64_t block_hash_avx2(const uint8_t* bytes, size_t n);

uint64_t block_hash_avx2(const uint8_t* bytes, size_t n) {
    return XXH3_64bits(bytes, n);
}

}  // namespace tessarune
