#include "format/utf8_check.h"

namespace tessarune::format {

Utf8Sequence read_utf8_sequence(const uint8_t* p, const uint8_t* end) {
    const uint8_t lead = *p;
    // The second byte's range carries the rules against overlong forms (E0, F0), surrogates
    // (ED) and code points above U+10FFFF (F4); later bytes are any continuation byte.
    uint8_t length = 0, low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return {Utf8Sequence::Invalid, 0, "invalid start byte"};
    }
    for (uint8_t i = 1; i < length; ++i) {
        if (p + i == end) return {Utf8Sequence::Truncated, 0, kUtf8TruncatedReason};
        const uint8_t c = p[i];
        if (c < low || c > high) return {Utf8Sequence::Invalid, 0, "invalid continuation byte"};
        low = 0x80;
        high = 0xBF;
    }
    return {Utf8Sequence::Valid, length, nullptr};
}

}  // namespace tessarune::format
