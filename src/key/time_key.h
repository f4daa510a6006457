// Key bytes of instants, dates, times of day and UUIDs, the fixed-size kinds that follow
// lists in the order across kinds (tags in key_encoding.h):
//
//   instant:  the seconds since 1970-01-01T00:00:00Z as int64 big-endian with its sign bit
//             flipped, then the nanoseconds (0-999,999,999) as uint32 big-endian: 12 bytes
//   date:     TAG_DATE, the day's proleptic Gregorian ordinal (0001-01-01 is 1) as uint32
//             big-endian
//   datetime: TAG_NAIVE_DATETIME and the instant its wall time names read as UTC, or
//             TAG_AWARE_DATETIME and the instant itself (the wall time less its UTC offset)
//   time:     TAG_TIME, the seconds since midnight, then the nanoseconds, each uint32
//             big-endian
//   uuid:     TAG_UUID, the 128-bit value big-endian
//
// Record keys of type timestamp are instants too (format/timestamp_key.h), so an instant
// orders alike whether it came from a text or from a Python datetime.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/growable_array.h"

namespace tessarune {

inline constexpr size_t kInstantKeySize = 12;

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar, counted in eras
// of 400 years (146097 days), within which the calendar repeats. Months are counted from March
// so that February's leap day falls at the end of the counted year.
constexpr int64_t days_from_civil(int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t year_of_era = year - era * 400;                          // 0-399
    const int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;  // 0-365
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

// A calendar date and a time of day, as Python's date, time and datetime hold them.
struct CivilTime {
    int year = 1;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int microsecond = 0;
};

void append_instant_bytes(int64_t seconds, uint32_t nanos, ByteBuffer& out);

void append_date_key(const CivilTime& date, ByteBuffer& out);

// `tag` is TAG_NAIVE_DATETIME (offset 0) or TAG_AWARE_DATETIME; the instant is the wall time
// less `offset_microseconds`.
void append_datetime_key(uint8_t tag, const CivilTime& wall, int64_t offset_microseconds, ByteBuffer& out);

void append_time_key(const CivilTime& time_of_day, ByteBuffer& out);

void append_uuid_key(const uint8_t (&value)[16], ByteBuffer& out);

}  // namespace tessarune
