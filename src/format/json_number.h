// The numbers of a JSON text as Python's json module makes them: float() of a number with a
// fraction or an exponent, int() of one without.
#pragma once

#include <cstdint>
#include <vector>

#include "base/growable_array.h"

namespace tessarune::format {

// float() of a number that matches JSON's grammar: correctly rounded, infinity past the
// largest double, zero (of the number's sign) below the smallest.
double json_float(const char* begin, const char* end);

// The key bytes (key/key_encoding.h) of the int with this sign and these decimal digits, of
// any length. Holds the scratch space that long ints need, so that one per reader keeps
// keying free of allocation once it has grown.
class DecimalIntKey {
public:
    void append(bool negative, Bytes digits, ByteBuffer& out);

private:
    std::vector<uint32_t> limbs_;  // little-endian, base 2^32
    ByteBuffer magnitude_;
};

}  // namespace tessarune::format
