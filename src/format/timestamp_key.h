// Timestamps as record keys: an ISO 8601 / RFC 3339 text, or a number of seconds since
// 1970-01-01T00:00:00Z, read as the instant it names.
//
// Text forms, after ASCII spaces and tabs are stripped from both ends:
//
//   YYYY-MM-DD [ (T|t|' ') HH:MM [:SS [.F+]] [ Z | z | (+|-)HH:MM | (+|-)HHMM | (+|-)HH ] ]
//
// An offset may follow only a time (a date alone is its midnight in UTC). The date is checked
// against the proleptic Gregorian calendar; hours 00-23, minutes and seconds 00-59 (a leap
// second is refused); offset hours 00-23, minutes 00-59; no offset is UTC. Fraction digits past
// the ninth are ignored (truncated), not rounded.
//
// Only instants from 0001-01-01T00:00:00Z to 9999-12-31T23:59:59.999999999Z are read, whatever
// the source: the year bounds apply to the instant after its offset, so
// "0001-01-01T00:00:00+01:00" (an instant in year 0) is refused like an epoch number as small.
//
// Key encoding, 12 bytes whose unsigned byte order is the order of the instants:
//
//   seconds since the epoch as int64 big-endian with its sign bit flipped, then the
//   nanoseconds (0-999,999,999) as uint32 big-endian.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/growable_array.h"
#include "format/number_text.h"

namespace tessarune::format {

struct Instant {
    int64_t seconds = 0;  // since 1970-01-01T00:00:00Z
    uint32_t nanos = 0;   // 0 to 999,999,999

    friend bool operator==(const Instant&, const Instant&) = default;
};

inline constexpr size_t kInstantKeySize = 12;

// The instant that `text` names, or nullopt when it is not a timestamp of the forms above.
std::optional<Instant> parse_timestamp(std::string_view text);

// The instant `digits` seconds after (or, when `negative`, before) the epoch. `digits` are
// decimal digits of any length, leading zeros allowed; none at all is zero.
std::optional<Instant> instant_from_epoch_int(bool negative, Bytes digits);

// The instant `seconds` after the epoch (a JSON int that fits 64 bits).
std::optional<Instant> instant_from_epoch_int64(int64_t seconds);

// The instant x seconds after the epoch, split as Python's math.floor(x) and
// round((x - math.floor(x)) * 1e9) split it (round half to even; 1e9 carries into the next
// second). NaN and infinities are refused.
std::optional<Instant> instant_from_epoch_double(double x);

// A CSV cell's number as seconds since the epoch; nullopt unless it is an Int or a Float.
std::optional<Instant> instant_from_number_text(const TextNumber& number);

// Appends the instant's 12 key bytes.
void append_instant(Instant instant, ByteBuffer& out);

}  // namespace tessarune::format
