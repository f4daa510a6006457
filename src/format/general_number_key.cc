#include "format/general_number_key.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tessarune::format {
namespace {

// The bytes of a long double that hold its value: x87's 80 bits lie in a larger, padded slot.
constexpr size_t kValueBytes = LDBL_MANT_DIG == 64 ? 10 : sizeof(long double);
constexpr int kMantissaWords = LDBL_MANT_DIG <= 64 ? 1 : 2;
static_assert(LDBL_MANT_DIG <= 128, "a significand must fit in two 64-bit words");

void push_big_endian(uint64_t v, int bytes, ByteBuffer& out) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

void append_general_number_key(Bytes text, ByteBuffer& scratch, ByteBuffer& out, locale_t locale) {
    scratch.clear();
    scratch.append(text);
    scratch.push_back(0);
    const char* start = reinterpret_cast<const char*>(scratch.data());
    char* end = nullptr;
    const long double value =
        locale == static_cast<locale_t>(nullptr) ? std::strtold(start, &end) : strtold_l(start, &end, locale);
    if (end == start) {
        out.push_back(0x00);
        return;
    }
    if (std::isnan(value)) {
        out.push_back(0x01);
        uint8_t bytes[sizeof(long double)];
        std::memcpy(bytes, &value, sizeof value);
        out.append(bytes, kValueBytes);
        return;
    }
    if (value == 0) {
        out.push_back(0x03);
        return;
    }
    const bool negative = std::signbit(value);
    out.push_back(negative ? 0x02 : 0x04);
    const size_t magnitude_at = out.size();
    if (std::isinf(value)) {
        push_big_endian(0xFFFF, 2, out);
        for (int w = 0; w < kMantissaWords; ++w) push_big_endian(0, 8, out);
    } else {
        int exponent = 0;
        long double mantissa = std::frexp(std::fabs(value), &exponent);
        push_big_endian(static_cast<uint64_t>(exponent + 0x8000), 2, out);
        for (int w = 0; w < kMantissaWords; ++w) {
            // Exact: scaling by a power of two and cutting off the integer part lose no bits.
            const long double scaled = std::ldexp(mantissa, 64);
            const auto word = static_cast<uint64_t>(scaled);
            push_big_endian(word, 8, out);
            mantissa = scaled - static_cast<long double>(word);
        }
    }
    if (negative) {
        for (uint8_t *p = out.data() + magnitude_at, *e = out.data() + out.size(); p != e; ++p) *p = static_cast<uint8_t>(~*p);
    }
}

}  // namespace tessarune::format
