// Finds the next byte that a reader must look at: one of three ASCII bytes, or any byte of
// 0x80 and above (the start of a character to check). Sixteen bytes at a time where SSE2 is
// there, since most bytes of most fields are none of these.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessarune::format {

class StopBytes {
public:
    StopBytes(uint8_t a, uint8_t b, uint8_t c) {
        for (int i = 0; i < 256; ++i) stop_[i] = i >= 0x80 || i == a || i == b || i == c;
#if defined(__SSE2__)
        a_ = _mm_set1_epi8(static_cast<char>(a));
        b_ = _mm_set1_epi8(static_cast<char>(b));
        c_ = _mm_set1_epi8(static_cast<char>(c));
#endif
    }

    // The offset of the first stop byte in data[p, n), or n.
    size_t find(const uint8_t* data, size_t p, size_t n) const {
#if defined(__SSE2__)
        for (; p + 16 <= n; p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
            const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a_), _mm_cmpeq_epi8(v, b_)),
                                              _mm_or_si128(_mm_cmpeq_epi8(v, c_), v));
            const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hits));
            if (mask != 0) return p + static_cast<size_t>(__builtin_ctz(mask));
        }
#endif
        while (p < n && !stop_[data[p]]) ++p;
        return p;
    }

private:
    bool stop_[256];
#if defined(__SSE2__)
    __m128i a_, b_, c_;
#endif
};

}  // namespace tessarune::format
