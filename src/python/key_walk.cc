#include "python/key_walk.h"

#include <cstring>
#include <new>

#include "key/key_encoding.h"
#include "python/key_kinds.h"
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
int walk(PyObject* value, int depth, ByteBuffer& out, uint8_t& seen);
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

int encode_tuple(PyObject* value, int depth, ByteBuffer& out, uint8_t& seen) {
    if (depth >= KEY_MAX_DEPTH) return refuse_nesting();
    out.push_back(TAG_TUPLE);
    const Py_ssize_t n = PyTuple_GET_SIZE(value);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (walk(PyTuple_GET_ITEM(value, i), depth + 1, out, seen) < 0) return -1;
    }
    out.push_back(TAG_END);
    return 0;
}

// Another thread may change the list meanwhile, and encoding an element may run Python code
// that changes it too, so each element is taken under the list's critical section and
// encoded outside it. The bound keeps to the elements that were there at the start and are
// still there when reached.
int encode_list(PyObject* value, int depth, ByteBuffer& out, uint8_t& seen) {
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
        if (walk(item, depth + 1, out, seen) < 0) return -1;
    }
    out.push_back(TAG_END);
    return 0;
}

// The order of the tests decides for an object that passes several. A float subclass cannot
// also be a tuple, bytes or list (their layouts conflict) nor None, so testing the exact
// float type early and float subclasses after the list gives the same decisions while
// sparing tuples, bytes and lists a walk of float's subclass chain.
int walk(PyObject* value, int depth, ByteBuffer& out, uint8_t& seen) {
    if (PyLong_Check(value)) return encode_int(value, out);
    if (PyUnicode_Check(value)) return encode_str(value, out);
    if (PyFloat_CheckExact(value)) {
        append_number_f64(PyFloat_AS_DOUBLE(value), out);
        return 0;
    }
    if (PyTuple_Check(value)) return encode_tuple(value, depth, out, seen);
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
    if (PyList_Check(value)) return encode_list(value, depth, out, seen);
    if (PyFloat_Check(value)) {
        append_number_f64(PyFloat_AS_DOUBLE(value), out);
        return 0;
    }

    // The standard library's kinds come before the __index__ rule: none of them has __index__,
    // and a subclass that adds one stays of its kind.
    switch (append_library_kind(value, out, seen)) {
        case KindKey::Appended: return 0;
        case KindKey::Failed: return -1;
        case KindKey::NotApplicable: break;
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

// Negates a two's-complement big-endian number in place, giving its magnitude.
void negate_in_place(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
    for (size_t i = n; i-- > 0;) {
        if (++p[i] != 0) break;
    }
}

// Read directly, never through a method of the int (a subclass may override them).
int encode_big_int(PyObject* value, ByteBuffer& out) {
    const Py_ssize_t size = PyLong_AsNativeBytes(value, nullptr, 0, Py_ASNATIVEBYTES_BIG_ENDIAN);
    if (size < 0) return -1;
    uint8_t inline_copy[kInlineMagnitude];
    ByteBuffer heap_copy;
    uint8_t* twos = inline_copy;
    if (static_cast<size_t>(size) > kInlineMagnitude) {
        heap_copy.resize(static_cast<size_t>(size));
        twos = heap_copy.data();
    }
    if (PyLong_AsNativeBytes(value, twos, size, Py_ASNATIVEBYTES_BIG_ENDIAN) < 0) return -1;
    const bool negative = size != 0 && (twos[0] & 0x80) != 0;
    if (negative) negate_in_place(twos, static_cast<size_t>(size));
    append_number_magnitude(negative, Bytes(twos, static_cast<size_t>(size)), out);
    return 0;
}

// The key of an object whose type has __index__ is the int that __index__ gives, converted
// as every index conversion of the interpreter does.
IndexKey encode_index(PyObject* value, ByteBuffer& out) {
    const int has_index =
        PyObject_HasAttrStringWithError(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__index__");
    if (has_index < 0) return IndexKey::Failed;
    if (has_index == 0) return IndexKey::NotApplicable;
    Ref result(PyNumber_Index(value));
    if (!result) return IndexKey::Failed;
    return encode_int(result.get(), out) < 0 ? IndexKey::Failed : IndexKey::Appended;
}

}  // namespace

int encode_key(PyObject* key, ByteBuffer& out) { return append_key_value(key, 0, out); }

int encode_key(PyObject* key, ByteBuffer& out, uint8_t& seen) {
    try {
        return walk(key, 0, out, seen);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

int append_key_value(PyObject* value, int depth, ByteBuffer& out) {
    uint8_t seen = 0;
    try {
        return walk(value, depth, out, seen);
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
