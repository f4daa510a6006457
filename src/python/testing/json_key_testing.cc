#include "python/testing/json_key_testing.h"

#include <chrono>
#include <new>
#include <string>
#include <vector>

#include "base/growable_array.h"
#include "format/json_key.h"
#include "python/py_ref.h"

namespace tessarune {
namespace {

using format::JsonKeyReader;
using python::Ref;

using Paths = std::vector<std::vector<std::string>>;

// Dotted paths split at '.' as str.split(".") does, empty steps kept.
bool to_paths(PyObject* sequence, Paths& paths) {
    Ref items(PySequence_Tuple(sequence));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "each path must be a str");
            return false;
        }
        std::vector<std::string>& steps = paths.emplace_back(1);
        for (Py_ssize_t j = 0; j < size; ++j) {
            if (text[j] == '.') {
                steps.emplace_back();
            } else {
                steps.back().push_back(text[j]);
            }
        }
    }
    return true;
}

Bytes bytes_of(PyObject* line) {
    return Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(line)), static_cast<size_t>(PyBytes_GET_SIZE(line)));
}

// A snapshot of a list of bytes, so that the loops read a fixed sequence without locking it.
Ref lines_tuple(PyObject* list) {
    Ref lines(PySequence_Tuple(list));
    if (!lines) return lines;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(lines.get()); ++i) {
        if (!PyBytes_Check(PyTuple_GET_ITEM(lines.get(), i))) {
            PyErr_SetString(PyExc_TypeError, "each line must be bytes");
            return Ref();
        }
    }
    return lines;
}

bool check_nargs(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

// The key bytes, or the refusal's message as a str.
PyObject* key_or_message(JsonKeyReader& reader, PyObject* line, ByteBuffer& out) {
    out.clear();
    if (!reader.append_key(bytes_of(line), out)) {
        const std::string& message = reader.error();
        return PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "surrogateescape");
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace

PyObject* keytest_json_keys(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("json_keys", nargs, 2)) return nullptr;
    Paths paths;
    if (!to_paths(args[0], paths)) return nullptr;
    Ref lines = lines_tuple(args[1]);
    if (!lines) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(lines.get());
    Ref keys(PyList_New(count));
    if (!keys) return nullptr;
    try {
        JsonKeyReader reader(format::text_keys_of_paths(std::move(paths)), true);
        ByteBuffer out;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* key = key_or_message(reader, PyTuple_GET_ITEM(lines.get(), i), out);
            if (key == nullptr) return nullptr;
            PyList_SET_ITEM(keys.get(), i, key);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return keys.release();
}

PyObject* keytest_json_key(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("json_key", nargs, 2)) return nullptr;
    Paths paths;
    if (!to_paths(args[0], paths)) return nullptr;
    if (!PyBytes_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "the line must be bytes");
        return nullptr;
    }
    try {
        JsonKeyReader reader(format::text_keys_of_paths(std::move(paths)), true);
        ByteBuffer out;
        return key_or_message(reader, args[1], out);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* keytest_time_json_keys(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_nargs("time_json_keys", nargs, 3)) return nullptr;
    Paths paths;
    if (!to_paths(args[0], paths)) return nullptr;
    Ref lines = lines_tuple(args[1]);
    if (!lines) return nullptr;
    const long repeat = PyLong_AsLong(args[2]);
    if (repeat == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(lines.get());
    if (repeat < 1 || count == 0) {
        PyErr_SetString(PyExc_ValueError, "time_json_keys() needs lines and a repeat of at least 1");
        return nullptr;
    }
    try {
        JsonKeyReader reader(format::text_keys_of_paths(std::move(paths)), true);
        ByteBuffer out;
        size_t refused = 0;
        const auto start = std::chrono::steady_clock::now();
        for (long r = 0; r < repeat; ++r) {
            out.clear();
            for (Py_ssize_t i = 0; i < count; ++i) {
                if (!reader.append_key(bytes_of(PyTuple_GET_ITEM(lines.get(), i)), out)) ++refused;
            }
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (refused != 0) {
            PyErr_Format(PyExc_ValueError, "%zu of the timed lines were refused", refused);
            return nullptr;
        }
        const double ns = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
        return PyFloat_FromDouble(ns / (static_cast<double>(count) * static_cast<double>(repeat)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tessarune
