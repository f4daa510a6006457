#include "python/line_key_plan.h"

#include <cstdint>
#include <new>

#include "python/py_ref.h"

namespace tessarune::python {
namespace {

constexpr const char* kFieldNames[] = {"start_field", "start_char", "end_field", "end_char", "flags"};

// 0 with *value set, or -1 with an exception naming the tuple element.
int read_count(PyObject* obj, Py_ssize_t index, uint64_t* value) {
    const char* name = kFieldNames[index];
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "key field %s must be an int, not %T", name, obj);
        return -1;
    }
    const int negative = PyLong_IsNegative(obj);
    if (negative < 0) return -1;
    if (negative == 1) {
        PyErr_Format(PyExc_ValueError, "key field %s must not be negative", name);
        return -1;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Format(PyExc_OverflowError, "key field %s does not fit in 64 bits", name);
        return -1;
    }
    *value = v;
    return 0;
}

int read_field(PyObject* item, format::LineKeyField* field) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 5) {
        PyErr_Format(PyExc_TypeError,
                     "a key field must be a tuple (start_field, start_char, end_field, end_char, flags), not %T",
                     item);
        return -1;
    }
    uint64_t flags = 0;
    if (read_count(PyTuple_GET_ITEM(item, 0), 0, &field->start_field) < 0 ||
        read_count(PyTuple_GET_ITEM(item, 1), 1, &field->start_char) < 0 ||
        read_count(PyTuple_GET_ITEM(item, 3), 3, &field->end_char) < 0 ||
        read_count(PyTuple_GET_ITEM(item, 4), 4, &flags) < 0) {
        return -1;
    }
    PyObject* end_field = PyTuple_GET_ITEM(item, 2);
    if (end_field == Py_None) {
        field->end_field.reset();
    } else {
        uint64_t value = 0;
        if (read_count(end_field, 2, &value) < 0) return -1;
        field->end_field = value;
    }
    if ((flags & ~uint64_t{format::kAllLineKeyFlags}) != 0) {
        PyErr_Format(PyExc_ValueError, "unknown key field flags: %llu", static_cast<unsigned long long>(flags));
        return -1;
    }
    field->flags = static_cast<uint32_t>(flags);
    return 0;
}

}  // namespace

int line_key_plan_from_python(PyObject* fields, PyObject* tab, int zero_terminated, PyObject* random_seed,
                              format::LineKeyPlan* out) {
    out->random_seed = 0;
    if (random_seed != nullptr && random_seed != Py_None) {
        if (!PyLong_Check(random_seed)) {
            PyErr_Format(PyExc_TypeError, "the random seed must be an int, not %T", random_seed);
            return -1;
        }
        const unsigned long long seed = PyLong_AsUnsignedLongLong(random_seed);
        if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
        out->random_seed = seed;
    }
    // A tuple copy, so that a list changed by another thread is read as one snapshot.
    Ref items(PySequence_Tuple(fields));
    if (!items) return -1;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "a line key needs at least one field");
        return -1;
    }
    if (tab == Py_None) {
        out->tab = -1;
    } else if (!PyBytes_Check(tab)) {
        PyErr_Format(PyExc_TypeError, "the field separator must be bytes or None, not %T", tab);
        return -1;
    } else if (PyBytes_GET_SIZE(tab) != 1) {
        PyErr_SetString(PyExc_ValueError, "the field separator must be one byte");
        return -1;
    } else {
        out->tab = static_cast<uint8_t>(PyBytes_AS_STRING(tab)[0]);
    }
    out->zero_terminated = zero_terminated != 0;
    try {
        out->fields.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (read_field(PyTuple_GET_ITEM(items.get(), i), &out->fields[static_cast<size_t>(i)]) < 0) return -1;
    }
    return 0;
}

}  // namespace tessarune::python
