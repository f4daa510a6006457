// Sort keys of the standard library's value kinds beyond the built-in ones: datetime.date,
// datetime.datetime, datetime.time, decimal.Decimal, fractions.Fraction and uuid.UUID, and
// their subclasses (key/time_key.h and key/rational_key.h give the bytes).
//
// Fields are read directly or as attributes (a Fraction's numerator and denominator are
// properties written in Python); the one call per key is a datetime's utcoffset when its
// tzinfo is neither None nor timezone.utc. Decimal and Fraction keys within the limits of
// key/rational_key.h only; outside them ValueError names the limit.
#pragma once

#include <Python.h>

#include <cstdint>

#include "base/growable_array.h"

namespace tessarune {

// What a key held beyond its bytes, for checks across keys: a sorter refuses to mix naive and
// aware datetimes, which Python refuses to compare.
inline constexpr uint8_t kSeenNaiveDatetime = 1;
inline constexpr uint8_t kSeenAwareDatetime = 2;

enum class KindKey { Appended, NotApplicable, Failed };

// Appends the key of `value` when it is of one of these kinds, adding to `seen`; NotApplicable,
// with no exception set, when it is not; Failed with an exception set.
KindKey append_library_kind(PyObject* value, ByteBuffer& out, uint8_t& seen);

}  // namespace tessarune
