#include "python/key_kinds.h"

#include <datetime.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>

#include "key/big_nat.h"
#include "key/key_encoding.h"
#include "key/rational_key.h"
#include "key/time_key.h"
#include "python/py_ref.h"

namespace tessarune {
namespace {

using python::Ref;

constexpr int64_t kMicrosPerSecond = 1'000'000;

void raise_not_instance(PyObject* got, const char* target) {
    Ref qualname(PyType_GetQualName(Py_TYPE(got)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
}

// The datetime module's C API. Its types and timezone.utc are static objects, shared by every
// interpreter of the process, so the capsule's pointer is a constant of the process: fetched
// at the first datetime key and kept.
std::atomic<const PyDateTime_CAPI*> g_datetime_api{nullptr};

const PyDateTime_CAPI* datetime_api() {
    const PyDateTime_CAPI* api = g_datetime_api.load(std::memory_order_acquire);
    if (api == nullptr) {
        api = static_cast<const PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
        if (api != nullptr) g_datetime_api.store(api, std::memory_order_release);
    }
    return api;
}

// Whether the class `type`, written in Python, is named `name` in the module `module`: the
// standard library's class then, short of a module that takes a standard module's name. No
// instance of such a class is ever read but through its attributes.
bool is_python_class(PyTypeObject* type, const char* module, const char* name) {
    if (std::strcmp(type->tp_name, name) != 0 || (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) return false;
    Ref module_name(PyType_GetModuleName(type));
    if (!module_name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module_name.get()) && PyUnicode_EqualToUTF8(module_name.get(), module) == 1;
}

// The C implementation's Decimal: the class that its extension module, _decimal, made.
bool is_c_decimal(PyTypeObject* type) {
    if (std::strcmp(type->tp_name, "decimal.Decimal") != 0 || (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) {
        return false;
    }
    PyObject* const module = reinterpret_cast<PyHeapTypeObject*>(type)->ht_module;
    if (module == nullptr || !PyModule_Check(module)) return false;
    const char* const module_name = PyModule_GetName(module);
    if (module_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(module_name, "_decimal") == 0;
}

CivilTime date_of(PyObject* value) {
    CivilTime t;
    t.year = PyDateTime_GET_YEAR(value);
    t.month = PyDateTime_GET_MONTH(value);
    t.day = PyDateTime_GET_DAY(value);
    return t;
}

// An aware datetime is keyed by its instant, as Python compares datetimes of different
// tzinfos; Python compares two of the same tzinfo by wall time, which differs only across a
// fold, where the instant decides here. A tzinfo whose utcoffset is None makes it naive.
KindKey datetime_key(const PyDateTime_CAPI* api, PyObject* value, ByteBuffer& out, uint8_t& seen) {
    PyObject* const tzinfo = PyDateTime_DATE_GET_TZINFO(value);
    bool aware = tzinfo == api->TimeZone_UTC;
    int64_t offset = 0;
    if (!aware && tzinfo != Py_None) {
        // Through the type, as the comparison itself gets it: checked, and never a subclass's.
        Ref delta(PyObject_CallMethod(reinterpret_cast<PyObject*>(api->DateTimeType), "utcoffset", "O", value));
        if (!delta) return KindKey::Failed;
        if (delta.get() != Py_None) {
            if (!PyObject_TypeCheck(delta.get(), api->DeltaType)) {
                raise_not_instance(delta.get(), "timedelta");
                return KindKey::Failed;
            }
            aware = true;
            offset = (int64_t{PyDateTime_DELTA_GET_DAYS(delta.get())} * 86400 +
                      PyDateTime_DELTA_GET_SECONDS(delta.get())) * kMicrosPerSecond +
                     PyDateTime_DELTA_GET_MICROSECONDS(delta.get());
        }
    }
    seen |= aware ? kSeenAwareDatetime : kSeenNaiveDatetime;
    CivilTime wall = date_of(value);
    wall.hour = PyDateTime_DATE_GET_HOUR(value);
    wall.minute = PyDateTime_DATE_GET_MINUTE(value);
    wall.second = PyDateTime_DATE_GET_SECOND(value);
    wall.microsecond = PyDateTime_DATE_GET_MICROSECOND(value);
    append_datetime_key(aware ? TAG_AWARE_DATETIME : TAG_NAIVE_DATETIME, wall, offset, out);
    return KindKey::Appended;
}

KindKey time_key(PyObject* value, ByteBuffer& out) {
    if (PyDateTime_TIME_GET_TZINFO(value) != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "a time with a tzinfo is no sort key: use a datetime, or drop the tzinfo "
                        "with replace(tzinfo=None)");
        return KindKey::Failed;
    }
    CivilTime t;
    t.hour = PyDateTime_TIME_GET_HOUR(value);
    t.minute = PyDateTime_TIME_GET_MINUTE(value);
    t.second = PyDateTime_TIME_GET_SECOND(value);
    t.microsecond = PyDateTime_TIME_GET_MICROSECOND(value);
    append_time_key(t, out);
    return KindKey::Appended;
}

KindKey datetime_kind_key(const PyDateTime_CAPI* api, PyTypeObject* type, PyObject* value, ByteBuffer& out,
                          uint8_t& seen) {
    if (type == api->DateTimeType) return datetime_key(api, value, out, seen);
    if (type == api->DateType) {
        append_date_key(date_of(value), out);
        return KindKey::Appended;
    }
    if (type == api->TimeType) return time_key(value, out);
    return KindKey::NotApplicable;
}

// --- Decimal --------------------------------------------------------------------------------

struct DecimalParts {
    enum class Kind { Finite, Infinite, NaN };
    Kind kind = Kind::Finite;
    bool negative = false;
    long digits = 0;
    long exponent = 0;
    BigNat coefficient;  // set only when digits is within the limit
};

// Decimal.as_tuple(), DecimalTuple(sign, digits, exponent), the exponent being 'F' for an
// infinity and 'n' or 'N' for a NaN: the documented way in, for the C and the Python
// implementation alike (the C object's own layout is private and may change).
int read_decimal_tuple(PyObject* value, PyTypeObject* type, DecimalParts& parts) {
    Ref as_tuple(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "as_tuple"));
    if (!as_tuple) return -1;
    Ref fields(PyObject_CallOneArg(as_tuple.get(), value));
    if (!fields) return -1;
    if (!PyTuple_Check(fields.get()) || PyTuple_GET_SIZE(fields.get()) != 3 ||
        !PyTuple_Check(PyTuple_GET_ITEM(fields.get(), 1))) {
        raise_not_instance(fields.get(), "DecimalTuple");
        return -1;
    }
    const int sign = PyObject_IsTrue(PyTuple_GET_ITEM(fields.get(), 0));
    if (sign < 0) return -1;
    parts.negative = sign != 0;
    PyObject* const exponent = PyTuple_GET_ITEM(fields.get(), 2);
    if (PyUnicode_Check(exponent)) {
        parts.kind = PyUnicode_CompareWithASCIIString(exponent, "F") == 0 ? DecimalParts::Kind::Infinite
                                                                            : DecimalParts::Kind::NaN;
        return 0;
    }
    int overflow = 0;
    parts.exponent = PyLong_AsLongAndOverflow(exponent, &overflow);
    if (parts.exponent == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0) parts.exponent = overflow > 0 ? LONG_MAX : LONG_MIN;
    PyObject* const digits = PyTuple_GET_ITEM(fields.get(), 1);
    parts.digits = static_cast<long>(PyTuple_GET_SIZE(digits));
    if (parts.digits > kMaxDecimalDigits) return 0;
    for (long i = 0; i < parts.digits; ++i) {
        const long digit = PyLong_AsLong(PyTuple_GET_ITEM(digits, i));
        if (digit == -1 && PyErr_Occurred()) return -1;
        parts.coefficient.mul_add(10, static_cast<uint64_t>(digit));
    }
    return 0;
}

KindKey decimal_key(PyObject* value, PyTypeObject* decimal_type, ByteBuffer& out) {
    DecimalParts parts;
    if (read_decimal_tuple(value, decimal_type, parts) < 0) return KindKey::Failed;
    switch (parts.kind) {
        case DecimalParts::Kind::Infinite:
            append_number_f64(parts.negative ? -HUGE_VAL : HUGE_VAL, out);
            return KindKey::Appended;
        case DecimalParts::Kind::NaN:
            append_number_f64(NAN, out);
            return KindKey::Appended;
        case DecimalParts::Kind::Finite:
            break;
    }
    if (parts.digits > kMaxDecimalDigits) {
        PyErr_Format(PyExc_ValueError, "a Decimal sort key may have at most %d digits, not %ld",
                     kMaxDecimalDigits, parts.digits);
        return KindKey::Failed;
    }
    if (parts.coefficient.is_zero()) {
        append_number_i128(0, out);
        return KindKey::Appended;
    }
    if (parts.exponent < -kMaxDecimalExponent || parts.exponent > kMaxDecimalExponent) {
        PyErr_Format(PyExc_ValueError, "the exponent of a Decimal sort key must lie from %d to %d, not %ld",
                     -kMaxDecimalExponent, kMaxDecimalExponent, parts.exponent);
        return KindKey::Failed;
    }
    append_number_decimal(parts.negative, parts.coefficient, static_cast<int>(parts.exponent), out);
    return KindKey::Appended;
}

// --- Fraction and UUID ----------------------------------------------------------------------

constexpr size_t kRatioBufferBytes = kMaxRatioBits / 8 + 1;  // the sign bit needs one more

// The sign and magnitude of an int attribute; 1 when it is below 2^kMaxRatioBits, 0 when not,
// -1 with an exception set.
int read_ratio_part(PyObject* owner, const char* name, bool& negative, BigNat& magnitude) {
    Ref part(PyObject_GetAttrString(owner, name));
    if (!part) return -1;
    if (!PyLong_Check(part.get())) {
        raise_not_instance(part.get(), "int");
        return -1;
    }
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(part.get(), &overflow);
    if (overflow == 0) {
        if (small == -1 && PyErr_Occurred()) return -1;
        negative = small < 0;
        magnitude = BigNat(negative ? 0 - static_cast<uint64_t>(small) : static_cast<uint64_t>(small));
        return 1;
    }
    const Py_ssize_t size = PyLong_AsNativeBytes(part.get(), nullptr, 0, Py_ASNATIVEBYTES_BIG_ENDIAN);
    if (size < 0) return -1;
    if (static_cast<size_t>(size) > kRatioBufferBytes) return 0;
    uint8_t twos[kRatioBufferBytes];
    if (PyLong_AsNativeBytes(part.get(), twos, size, Py_ASNATIVEBYTES_BIG_ENDIAN) < 0) return -1;
    const auto n = static_cast<size_t>(size);
    negative = n != 0 && (twos[0] & 0x80) != 0;
    if (negative) {
        for (size_t i = 0; i < n; ++i) twos[i] = static_cast<uint8_t>(~twos[i]);
        for (size_t i = n; i-- > 0;) {
            if (++twos[i] != 0) break;
        }
    }
    magnitude = BigNat::from_big_endian(Bytes(twos, n));
    return magnitude.bit_length() <= kMaxRatioBits ? 1 : 0;
}

KindKey fraction_key(PyObject* value, ByteBuffer& out) {
    bool num_negative = false;
    bool den_negative = false;
    BigNat num;
    BigNat den;
    const int num_fits = read_ratio_part(value, "numerator", num_negative, num);
    if (num_fits < 0) return KindKey::Failed;
    const int den_fits = read_ratio_part(value, "denominator", den_negative, den);
    if (den_fits < 0) return KindKey::Failed;
    if (num_fits == 0 || den_fits == 0) {
        PyErr_Format(PyExc_ValueError,
                     "the numerator and denominator of a Fraction sort key must be below 2**%d",
                     static_cast<int>(kMaxRatioBits));
        return KindKey::Failed;
    }
    if (den.is_zero()) {
        PyErr_SetString(PyExc_ZeroDivisionError, "a Fraction sort key has the denominator 0");
        return KindKey::Failed;
    }
    append_number_ratio(num_negative != den_negative, num, den, out);
    return KindKey::Appended;
}

KindKey uuid_key(PyObject* value, ByteBuffer& out) {
    Ref number(PyObject_GetAttrString(value, "int"));
    if (!number) return KindKey::Failed;
    if (!PyLong_Check(number.get())) {
        raise_not_instance(number.get(), "int");
        return KindKey::Failed;
    }
    uint8_t bytes[16] = {};
    const Py_ssize_t size = PyLong_AsNativeBytes(
        number.get(), bytes, sizeof bytes,
        Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER | Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (size < 0) return KindKey::Failed;
    if (static_cast<size_t>(size) > sizeof bytes) {
        PyErr_SetString(PyExc_ValueError, "the int of a UUID sort key must be below 2**128");
        return KindKey::Failed;
    }
    append_uuid_key(bytes, out);
    return KindKey::Appended;
}

}  // namespace

KindKey append_library_kind(PyObject* value, ByteBuffer& out, uint8_t& seen) {
    PyTypeObject* const type = Py_TYPE(value);
    if (const PyDateTime_CAPI* api = g_datetime_api.load(std::memory_order_acquire)) {
        const KindKey exact = datetime_kind_key(api, type, value, out, seen);
        if (exact != KindKey::NotApplicable) return exact;
    }
    // The type and its bases, by name first, which is cheap.
    for (PyTypeObject* t = type; t != nullptr; t = t->tp_base) {
        if (std::strncmp(t->tp_name, "datetime.", 9) == 0 && (t->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) {
            const PyDateTime_CAPI* api = datetime_api();
            if (api == nullptr) return KindKey::Failed;
            const KindKey kind = datetime_kind_key(api, t, value, out, seen);
            if (kind != KindKey::NotApplicable) return kind;
        } else if (is_c_decimal(t) || is_python_class(t, "decimal", "Decimal")) {
            return decimal_key(value, t, out);
        } else if (is_python_class(t, "fractions", "Fraction")) {
            return fraction_key(value, out);
        } else if (is_python_class(t, "uuid", "UUID")) {
            return uuid_key(value, out);
        }
    }
    return KindKey::NotApplicable;
}

}  // namespace tessarune
