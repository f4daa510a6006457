// SplitMix64: a small, fast generator of 64-bit values. Used where variety is needed and
// secrecy is not (the names of spill directories, generated benchmark data).
#pragma once

#include <cstdint>

namespace tessarune {

class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : state_(seed) {}

    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, n): values from the short last stretch of the 64-bit range are redrawn.
    // REQUIRES: n >= 1.
    uint64_t below(uint64_t n) {
        const uint64_t limit = UINT64_MAX - UINT64_MAX % n;
        uint64_t v;
        do {
            v = next();
        } while (v >= limit);
        return v % n;
    }

    void reseed(uint64_t seed) { state_ = seed; }

private:
    uint64_t state_;
};

}  // namespace tessarune
