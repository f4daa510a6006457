// _tessarune_keytest: exposes the key walk, the line and JSON keys and the CSV scanner to the
// Python tests and the key benchmarks.
// Built only with the tests and never installed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <new>

#include "base/growable_array.h"
#include "python/key_walk.h"
#include "python/py_ref.h"
#include "python/testing/line_key_testing.h"
#include "python/testing/json_key_testing.h"
#include "python/testing/csv_testing.h"

namespace tessarune {
namespace {

using python::Ref;

PyObject* keytest_encode_key(PyObject* /*module*/, PyObject* key) {
    try {
        ByteBuffer buffer(kKeyBufferCapacity);
        if (encode_key(key, buffer) < 0) return nullptr;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer.data()),
                                         static_cast<Py_ssize_t>(buffer.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Encodes every key, `repeat` times, into one reused buffer, as the adding path does, and
// returns the nanoseconds per key. Timed here so that no Python call is counted.
PyObject* keytest_time_encode(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "time_encode() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!PyList_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "time_encode() needs a list of keys");
        return nullptr;
    }
    const long repeat = PyLong_AsLong(args[1]);
    if (repeat == -1 && PyErr_Occurred()) return nullptr;
    if (repeat < 1) {
        PyErr_SetString(PyExc_ValueError, "repeat must be at least 1");
        return nullptr;
    }
    // A snapshot, so that the timed loop reads a fixed sequence without locking the list.
    Ref keys(PyList_AsTuple(args[0]));
    if (!keys) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(keys.get());
    if (count == 0) return PyFloat_FromDouble(0.0);

    try {
        ByteBuffer buffer(kKeyBufferCapacity);
        size_t total_bytes = 0;
        const auto start = std::chrono::steady_clock::now();
        for (long r = 0; r < repeat; ++r) {
            for (Py_ssize_t i = 0; i < count; ++i) {
                buffer.clear();
                if (encode_key(PyTuple_GET_ITEM(keys.get(), i), buffer) < 0) return nullptr;
                total_bytes += buffer.size();
            }
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        // Keeps the encoded sizes observable so that nothing of the loop can be dropped.
        if (total_bytes == 0) return PyFloat_FromDouble(0.0);
        const double ns = static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
        return PyFloat_FromDouble(ns / (static_cast<double>(count) * static_cast<double>(repeat)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef keytest_methods[] = {
    {"encode_key", keytest_encode_key, METH_O,
     PyDoc_STR("encode_key(key, /)\n--\n\nThe key bytes of a sort key.")},
    {"time_encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(keytest_time_encode)),
     METH_FASTCALL,
     PyDoc_STR("time_encode(keys, repeat, /)\n--\n\n"
               "Encodes every key of the list repeat times; returns nanoseconds per key.")},
    {"line_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(python::keytest_line_key)),
     METH_FASTCALL, python::kLineKeyDoc},
    {"json_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(keytest_json_key)), METH_FASTCALL,
     PyDoc_STR("json_key(paths, line, /)\n--\n\n"
               "The key bytes of one JSON line at dotted paths, or None where the reader declines.")},
    {"json_keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(keytest_json_keys)), METH_FASTCALL,
     PyDoc_STR("json_keys(paths, lines, /)\n--\n\n"
               "One reader keys every line of the list: key bytes, or None where it declines.")},
    {"time_json_keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(keytest_time_json_keys)),
     METH_FASTCALL,
     PyDoc_STR("time_json_keys(paths, lines, repeat, /)\n--\n\n"
               "Keys every line repeat times with one reader; returns nanoseconds per line.")},
    {"csv_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(testing::csv_records)),
     METH_FASTCALL, testing::kCsvRecordsDoc},
    {"csv_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(testing::csv_key)), METH_FASTCALL,
     testing::kCsvKeyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot keytest_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef keytest_module = {
    PyModuleDef_HEAD_INIT,
    "_tessarune_keytest",
    PyDoc_STR("Test access to the sort key encoding."),
    0,
    keytest_methods,
    keytest_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessarune

PyMODINIT_FUNC PyInit__tessarune_keytest() { return PyModuleDef_Init(&tessarune::keytest_module); }
