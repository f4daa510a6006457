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

void append_human_number_key(const NumberText& number, uint8_t after, ByteBuffer& out) {
    if (number.whole.empty() && number.fraction.empty()) {
        out.push_back(0x01);
        return;
    }
    static constexpr char kUnits[] = "KMGTPEZYRQ";
    uint8_t unit = 0;
    if (after == 'k') {
        unit = 1;
    } else if (after != 0) {
        for (uint8_t u = 0; kUnits[u] != 0; ++u) {
            if (static_cast<uint8_t>(kUnits[u]) == after) unit = static_cast<uint8_t>(u + 1);
        }
    }
    out.push_back(number.negative ? 0x00 : 0x02);
    out.push_back(number.negative ? static_cast<uint8_t>(~unit) : unit);
    append_number_key(number, out);
}

}  // namespace tessarune::format
