#include "format/json_number.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

#include "key/key_encoding.h"

namespace tessarune::format {
namespace {

// 10^38 < 2^127, so this many digits always fit a signed 128-bit int.
constexpr size_t kInt128Digits = 38;
constexpr size_t kChunkDigits = 9;  // 10^9 < 2^32
constexpr uint32_t kChunkBase = 1'000'000'000;

// Whether a number that does not fit a double is too large (rather than too small): whether
// its first nonzero digit stands at or left of the units place.
bool beyond_largest(const char* begin, const char* end) {
    const char* p = begin;
    if (*p == '-') ++p;
    int64_t units_place = -1;  // the power of ten of the first nonzero digit, once found
    bool found = false;
    int64_t integer_digits = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p, ++integer_digits) {
        if (!found && *p != '0') {
            found = true;
            units_place = integer_digits;  // fixed below, once the count is known
        }
    }
    int64_t power = 0;
    if (found) {
        power = integer_digits - 1 - units_place;
    } else if (p < end && *p == '.') {
        int64_t place = -1;
        for (++p; p < end && *p >= '0' && *p <= '9'; ++p, --place) {
            if (*p != '0') {
                found = true;
                power = place;
                break;
            }
        }
        while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    if (!found) return false;  // zero never overflows
    while (p < end && *p != 'e' && *p != 'E') ++p;
    int64_t exponent = 0;
    if (p < end) {
        ++p;
        const bool negative = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        constexpr int64_t kSaturated = int64_t{1} << 40;  // far beyond any double's range
        for (; p < end; ++p) exponent = std::min(exponent * 10 + (*p - '0'), kSaturated);
        if (negative) exponent = -exponent;
    }
    return power + exponent >= 0;
}

}  // namespace

double json_float(const char* begin, const char* end) {
    double value = 0;
    const std::from_chars_result r = std::from_chars(begin, end, value);
    if (r.ec != std::errc::result_out_of_range) return value;
    const double magnitude = beyond_largest(begin, end) ? std::numeric_limits<double>::infinity() : 0.0;
    return *begin == '-' ? -magnitude : magnitude;
}

void DecimalIntKey::append(bool negative, Bytes digits, ByteBuffer& out) {
    if (digits.size() <= kInt128Digits) {
        UInt128 u = 0;
        for (uint8_t d : digits) u = u * 10 + (d - '0');
        const auto x = static_cast<Int128>(u);
        append_number_i128(negative ? -x : x, out);
        return;
    }
    limbs_.clear();
    size_t i = 0;
    // The first chunk takes the odd digits, so that every later one is a full chunk.
    size_t chunk = digits.size() % kChunkDigits == 0 ? kChunkDigits : digits.size() % kChunkDigits;
    while (i < digits.size()) {
        uint32_t value = 0;
        for (size_t k = 0; k < chunk; ++k) value = value * 10 + (digits[i + k] - '0');
        i += chunk;
        uint64_t carry = value;
        for (uint32_t& limb : limbs_) {
            const uint64_t t = uint64_t{limb} * kChunkBase + carry;
            limb = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        if (carry != 0) limbs_.push_back(static_cast<uint32_t>(carry));
        chunk = kChunkDigits;
    }
    magnitude_.clear();
    magnitude_.reserve(limbs_.size() * 4);
    for (size_t k = limbs_.size(); k-- > 0;) {
        const uint32_t limb = limbs_[k];
        magnitude_.push_back(static_cast<uint8_t>(limb >> 24));
        magnitude_.push_back(static_cast<uint8_t>(limb >> 16));
        magnitude_.push_back(static_cast<uint8_t>(limb >> 8));
        magnitude_.push_back(static_cast<uint8_t>(limb));
    }
    append_number_magnitude(negative, Bytes(magnitude_.data(), magnitude_.size()), out);
}

}  // namespace tessarune::format
