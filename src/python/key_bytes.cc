// key_bytes(key): the bytes that a sorter orders a key by, for callers that pick range
// boundaries or compare keys themselves (a sort spread over several processes needs both).
#include "python/key_bytes.h"

#include <cstdint>

#include "base/growable_array.h"
#include "python/errors.h"
#include "python/key_walk.h"

namespace tessarune::python {
namespace {

// add_record refuses keys this long; refusing them here too keeps key_bytes to the keys a
// sorter would accept.
constexpr uint64_t kMaxKeyBytes = uint64_t{1} << 32;

PyObject* key_bytes(PyObject* /*module*/, PyObject* key) {
    return call_guarded([&]() -> PyObject* {
        ByteBuffer buffer(kKeyBufferCapacity);
        if (encode_key(key, buffer) < 0) return nullptr;
        if (buffer.size() >= kMaxKeyBytes) {
            PyErr_SetString(PyExc_ValueError, "a key or value must be shorter than 4 GiB");
            return nullptr;
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                         static_cast<Py_ssize_t>(buffer.size()));
    });
}

constexpr const char kKeyBytesDoc[] =
    "key_bytes($module, key, /)\n--\n\n"
    "Return the bytes that a Sorter orders the sort key `key` by.\n\n"
    "Comparing two results with < gives Python's order of the keys: ints, bools, floats, Decimals\n"
    "and Fractions by exact value; strs by code point; bytes by byte; dates, times and naive\n"
    "datetimes by their fields; aware datetimes by the instant they name; UUIDs by their int;\n"
    "tuples and lists element by element. Where Python refuses to compare, None, numbers, str,\n"
    "bytes, tuple, list, date, naive datetime, aware datetime, time, UUID, in that order, and\n"
    "every NaN, a Decimal's too, is one key above every other number. Equal keys, such as 1, 1.0,\n"
    "True, Decimal(1) and Fraction(1), give equal bytes. The bytes are not meant to be decoded.\n\n"
    "Two aware datetimes of one tzinfo, which Python compares by wall time, are ordered by their\n"
    "instants, which differ from it only across a fold. Only a Sorter refuses to mix naive and\n"
    "aware datetimes: these bytes put every naive one first, where Python raises once two of them\n"
    "meet.\n\n"
    "Raises:\n"
    "    TypeError: If `key` is not a sort key, such as a time with a tzinfo.\n"
    "    ValueError: If a Decimal has more than 1100 digits or an exponent outside -1100 to 1100,\n"
    "        or a Fraction's numerator or denominator is 2**4096 or more.\n"
    "    RecursionError: If `key` nests tuples or lists more than 256 deep.";

PyMethodDef kFunctions[] = {
    {"key_bytes", key_bytes, METH_O, kKeyBytesDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_key_bytes_function(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tessarune::python
