// The JSON Lines key reader as the test-only extension exposes it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune {

// json_keys(paths, lines, /): one reader keys every line of the list in turn, as the adding path
// will; returns a list of key bytes, or
// where a line is refused the message (a str).
PyObject* keytest_json_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// json_key(paths, line, /): the key bytes of one line, or the message (a str) that
// refuses it.
PyObject* keytest_json_key(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// time_json_keys(paths, lines, repeat, /): keys every line `repeat` times with one reader and
// one reused output buffer; returns nanoseconds per line.
PyObject* keytest_time_json_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace tessarune
