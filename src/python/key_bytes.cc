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
    "Comparing two results with < gives Python's order of the keys: ints, bools and floats by\n"
    "exact value, strs by code point, bytes by byte, tuples and lists element by element; where\n"
    "Python refuses to compare, None, numbers, str, bytes, tuple, list, in that order, and every\n"
    "NaN is one key above every other number. Equal keys, such as 1, 1.0 and True, give equal\n"
    "bytes. The bytes are not meant to be decoded.\n\n"
    "Raises:\n"
    "    TypeError: If `key` is not a sort key.\n"
    "    RecursionError: If `key` nests tuples or lists more than 256 deep.";

PyMethodDef kFunctions[] = {
    {"key_bytes", key_bytes, METH_O, kKeyBytesDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_key_bytes_function(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tessarune::python
