#include "run/block_hash.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

// The library's own XXH3, linked into this test only, is the reference.
#include <xxhash.h>

namespace tessarune {
namespace {

// Every size class of XXH3 (up to 16, 128 and 240 bytes, then stripes, blocks and a full run
// block) at every alignment a vector load can trip over.
TEST(BlockHashTest, EqualsTheLibrarysXxh3) {
    std::mt19937_64 rng(7);
    std::vector<uint8_t> bytes((128 << 10) + 64);
    for (auto& b : bytes) {
        b = static_cast<uint8_t>(rng());
    }
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 1100; ++n) {
        lengths.push_back(n);
    }
    for (size_t n : {4095u, 4096u, 4097u, 65535u, 131072u}) {
        lengths.push_back(n);
    }
    for (size_t n : lengths) {
        for (size_t offset : {0u, 1u, 7u, 33u}) {
            ASSERT_EQ(block_hash(bytes.data() + offset, n), XXH3_64bits(bytes.data() + offset, n))
                << "length " << n << " at offset " << offset;
        }
    }
}

}  // namespace
}  // namespace tessarune
