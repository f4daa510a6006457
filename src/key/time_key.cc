#include "key/time_key.h"

#include "base/little_endian.h"
#include "key/key_encoding.h"

namespace tessarune {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr uint32_t kNanosPerMicro = 1000;
// date.toordinal() counts 0001-01-01 as day 1.
constexpr int64_t kOrdinalOfEpoch = 1 - days_from_civil(1, 1, 1);

void append_be32(uint32_t v, ByteBuffer& out) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    out.append(bytes, 4);
}

}  // namespace

void append_instant_bytes(int64_t seconds, uint32_t nanos, ByteBuffer& out) {
    uint8_t bytes[kInstantKeySize];
    store_be64(bytes, static_cast<uint64_t>(seconds) ^ (uint64_t{1} << 63));
    for (int i = 0; i < 4; ++i) bytes[8 + i] = static_cast<uint8_t>(nanos >> (24 - 8 * i));
    out.append(bytes, kInstantKeySize);
}

void append_date_key(const CivilTime& date, ByteBuffer& out) {
    out.push_back(TAG_DATE);
    append_be32(static_cast<uint32_t>(days_from_civil(date.year, date.month, date.day) + kOrdinalOfEpoch), out);
}

void append_datetime_key(uint8_t tag, const CivilTime& wall, int64_t offset_microseconds, ByteBuffer& out) {
    const int64_t wall_seconds = days_from_civil(wall.year, wall.month, wall.day) * kSecondsPerDay +
                                 wall.hour * 3600 + wall.minute * 60 + wall.second;
    // Years 1-9999 in microseconds stay far inside int64; the offset is below a day.
    const int64_t micros = wall_seconds * kMicrosPerSecond + wall.microsecond - offset_microseconds;
    int64_t seconds = micros / kMicrosPerSecond;
    int64_t rest = micros % kMicrosPerSecond;
    if (rest < 0) {
        rest += kMicrosPerSecond;
        --seconds;
    }
    out.push_back(tag);
    append_instant_bytes(seconds, static_cast<uint32_t>(rest) * kNanosPerMicro, out);
}

void append_time_key(const CivilTime& time_of_day, ByteBuffer& out) {
    out.push_back(TAG_TIME);
    append_be32(static_cast<uint32_t>(time_of_day.hour * 3600 + time_of_day.minute * 60 + time_of_day.second), out);
    append_be32(static_cast<uint32_t>(time_of_day.microsecond) * kNanosPerMicro, out);
}

void append_uuid_key(const uint8_t (&value)[16], ByteBuffer& out) {
    out.push_back(TAG_UUID);
    out.append(value, 16);
}

}  // namespace tessarune
