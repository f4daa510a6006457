#include "python/key_walk.h"

#include <cstring>
#include <new>

#include "key/key_encoding.h"
#include "python/py_ref.h"

namespace tessarune {
namespace {

using python::Ref;

constexpr const char* kNestingMessage = "a sort key is nested more than 256 deep";
constexpr const char* kKindMessage =
    "a sort key must be an int, float, str, bytes, None, or a tuple or list of them, not %U";

// Two's-complement forms up to this size are negated on the stack.
constexpr size_t kInlineMagnitude = 64;

// The interface layer's conversion error. Built-in methods never return the wrong type, so
// this is reached only through monkeypatched modules such as `operator`.
void raise_not_instance(PyObject* got, const char* target) {
    Ref qualname(PyType_GetQualName(Py_TYPE(got)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), target);
}

// The internal walk lets std::bad_alloc from the buffer propagate; the public entry points
// turn it into MemoryError. Every reference held across an append is a Ref, and no append
// happens inside a critical section.
int walk(PyObject* value, int depth, ByteBuffer& out);
int encode_big_int(PyObject* value, ByteBuffer& out);
IndexKey encode_index(PyObject* value, ByteBuffer& out);

// PyLong_AsLongAndOverflow gives the same answer as PyLong_AsLongLong for an int (neither
// calls a method of it), but reads multi-digit ints directly instead of through a byte-array
// conversion, and reports overflow without making an exception to clear.
static_assert(sizeof(long) == 8, "ints of up to 64 bits must convert without overflow");

int encode_int(PyObject* value, ByteBuffer& out) {
    int overflow = 0;
    const long x = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow != 0) return encode_big_int(value, out);
    if (x == -1 && PyErr_Occurred()) return -1;
    append_number_i128(x, out);
    return 0;
}

int encode_str(PyObject* value, ByteBuffer& out) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size)) {
        append_escaped(TAG_STR, Bytes(reinterpret_cast<const uint8_t*>(utf8), static_cast<size_t>(size)), out);
        return 0;
    }
    // A lone surrogate has no UTF-8; its three-byte form keeps code point order. Looked up on
    // str so that a subclass's own encode is never called.
    PyErr_Clear();
    Ref encode(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "encode"));
    if (!encode) return -1;
    Ref encoded(PyObject_CallFunction(encode.get(), "Oss", value, "utf-8", "surrogatepass"));
    if (!encoded) return -1;
    if (!PyBytes_Check(encoded.get())) {
        raise_not_instance(encoded.get(), "bytes");
        return -1;
    }
    append_escaped(TAG_STR,
                   Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(encoded.get())),
                         static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))),
                   out);
    return 0;
}

int refuse_nesting() {
    PyErr_SetString(PyExc_RecursionError, kNestingMessage);
    return -1;
}

int encode_tuple(PyObject* value, int depth, ByteBuffer& out) {
    if (depth >= KEY_MAX_DEPTH) return refuse_nesting();
    out.push_back(TAG_TUPLE);
    const Py_ssize_t n = PyTuple_GET_SIZE(value);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (walk(PyTuple_GET_ITEM(value, i), depth + 1, out) < 0) return -1;
    }
    out.push_back(TAG_END);
    return 0;
}

// Another thread may change the list meanwhile, and encoding an element may run Python code
// that changes it too, so each element is taken under the list's critical section and
// encoded outside it. The bound keeps to the elements that were there at the start and are
// still there when reached.
int encode_list(PyObject* value, int depth, ByteBuffer& out) {
    if (depth >= KEY_MAX_DEPTH) return refuse_nesting();
    out.push_back(TAG_LIST);
    const Py_ssize_t n = PyList_GET_SIZE(value);
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* item = nullptr;
        Py_BEGIN_CRITICAL_SECTION(value);
        if (i < n && i < PyList_GET_SIZE(value)) item = Py_NewRef(PyList_GET_ITEM(value, i));
        Py_END_CRITICAL_SECTION();
        if (item == nullptr) break;
        Ref held(item);
        if (walk(item, depth + 1, out) < 0) return -1;
    }
    out.push_back(TAG_END);
    return 0;
}

// The order of the tests decides for an object that passes several. A float subclass cannot
// also be a tuple, bytes or list (their layouts conflict) nor None, so testing the exact
// float type early and float subclasses after the list gives the same decisions while
// sparing tuples, bytes and lists a walk of float's subclass chain.
int walk(PyObject* value, int depth, ByteBuffer& out) {
    if (PyLong_Check(value)) return encode_int(value, out);
    if (PyUnicode_Check(value)) return encode_str(value, out);
    if (PyFloat_CheckExact(value)) {
        append_number_f64(PyFloat_AS_DOUBLE(value), out);
        return 0;
    }
    if (PyTuple_Check(value)) return encode_tuple(value, depth, out);
    if (value == Py_None) {
        out.push_back(TAG_NONE);
        return 0;
    }
    if (PyBytes_Check(value)) {
        append_escaped(TAG_BYTES,
                       Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value)),
                             static_cast<size_t>(PyBytes_GET_SIZE(value))),
                       out);
        return 0;
    }
    if (PyList_Check(value)) return encode_list(value, depth, out);
    if (PyFloat_Check(value)) {
        append_number_f64(PyFloat_AS_DOUBLE(value), out);
        return 0;
    }

    switch (encode_index(value, out)) {
        case IndexKey::Appended: return 0;
        case IndexKey::Failed: return -1;
        case IndexKey::NotApplicable: break;
    }
    Ref name(PyType_GetName(Py_TYPE(value)));
    if (!name) return -1;
    PyErr_Format(PyExc_TypeError, kKindMessage, name.get());
    return -1;
}

// bit_length's result converted as the interface layer converts an unsigned 64-bit argument.
bool to_u64(PyObject* obj, unsigned long long& result) {
    Ref index;
    if (!PyLong_Check(obj)) {
        index = Ref(PyNumber_Index(obj));
        if (!index) return false;
        obj = index.get();
    }
    result = PyLong_AsUnsignedLongLong(obj);
    return !(result == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

// Negates a two's-complement big-endian number in place, giving its magnitude.
void negate_in_place(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
    for (size_t i = n; i-- > 0;) {
        if (++p[i] != 0) break;
    }
}

int encode_big_int(PyObject* value, ByteBuffer& out) {
    PyObject* const int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    Ref bit_length_fn(PyObject_GetAttrString(int_type, "bit_length"));
    if (!bit_length_fn) return -1;
    Ref bit_length(PyObject_CallOneArg(bit_length_fn.get(), value));
    if (!bit_length) return -1;
    unsigned long long bits = 0;
    if (!to_u64(bit_length.get(), bits)) return -1;

    // bits // 8 + 1 bytes always leave room for the sign bit.
    Ref to_bytes(PyObject_GetAttrString(int_type, "to_bytes"));
    if (!to_bytes) return -1;
    Ref length(PyLong_FromUnsignedLongLong(bits / 8 + 1));
    if (!length) return -1;
    Ref order(PyUnicode_FromString("big"));
    if (!order) return -1;
    Ref kwnames(Py_BuildValue("(s)", "signed"));
    if (!kwnames) return -1;
    PyObject* args[] = {value, length.get(), order.get(), Py_True};
    Ref twos(PyObject_Vectorcall(to_bytes.get(), args, 3, kwnames.get()));
    if (!twos) return -1;
    if (!PyBytes_Check(twos.get())) {
        raise_not_instance(twos.get(), "bytes");
        return -1;
    }

    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(twos.get()));
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(twos.get()));
    if (size == 0 || (data[0] & 0x80) == 0) {
        append_number_magnitude(false, Bytes(data, size), out);
        return 0;
    }
    uint8_t inline_copy[kInlineMagnitude];
    ByteBuffer heap_copy;
    uint8_t* magnitude = inline_copy;
    if (size > kInlineMagnitude) {
        heap_copy.resize(size);
        magnitude = heap_copy.data();
    }
    std::memcpy(magnitude, data, size);
    negate_in_place(magnitude, size);
    append_number_magnitude(true, Bytes(magnitude, size), out);
    return 0;
}

// Nothing is cached between keys: the module, the function and the type's attribute are
// looked up again for every key, so monkeypatching and free-threading need no care here.
IndexKey encode_index(PyObject* value, ByteBuffer& out) {
    const int has_index =
        PyObject_HasAttrStringWithError(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__index__");
    if (has_index < 0) return IndexKey::Failed;
    if (has_index == 0) return IndexKey::NotApplicable;

    Ref operator_module(PyImport_ImportModule("operator"));
    if (!operator_module) return IndexKey::Failed;
    Ref index_fn(PyObject_GetAttrString(operator_module.get(), "index"));
    if (!index_fn) return IndexKey::Failed;
    Ref result(PyObject_CallOneArg(index_fn.get(), value));
    if (!result) return IndexKey::Failed;
    if (!PyLong_Check(result.get())) {
        raise_not_instance(result.get(), "int");
        return IndexKey::Failed;
    }
    return encode_int(result.get(), out) < 0 ? IndexKey::Failed : IndexKey::Appended;
}

}  // namespace

int encode_key(PyObject* key, ByteBuffer& out) { return append_key_value(key, 0, out); }

int append_key_value(PyObject* value, int depth, ByteBuffer& out) {
    try {
        return walk(value, depth, out);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

int append_number_big_int(PyObject* value, ByteBuffer& out) {
    try {
        return encode_big_int(value, out);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

IndexKey append_index_key(PyObject* value, ByteBuffer& out) {
    try {
        return encode_index(value, out);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return IndexKey::Failed;
    }
}

}  // namespace tessarune
