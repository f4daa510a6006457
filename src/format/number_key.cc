#include "format/number_key.h"

#include <limits>

namespace tessarune::format {

void append_number_key(const NumberText& number, ByteBuffer& out) {
    if (number.whole.empty() && number.fraction.empty()) {
        out.push_back(0x01);
        return;
    }
    // Four bytes of length hold any line the engine accepts (a key is below 4 GiB).
    const auto length = static_cast<uint32_t>(number.whole.size());
    const uint32_t stored = number.negative ? std::numeric_limits<uint32_t>::max() - length : length;
    out.push_back(number.negative ? 0x00 : 0x02);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(stored >> shift));
    const size_t digits_at = out.size();
    out.append(number.whole);
    out.append(number.fraction);
    if (number.negative) {
        uint8_t* p = out.data() + digits_at;
        for (uint8_t* end = out.data() + out.size(); p != end; ++p) *p = static_cast<uint8_t>('9' + '0' - *p);
        out.push_back(0xFF);
    } else {
        out.push_back(0x00);
    }
}

}  // namespace tessarune::format
