// The line key extractor as the test-only key extension exposes it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::python {

// line_key(fields, tab, zero_terminated, line, random_seed=0, /) -> bytes: the key bytes of one
// line (bytes, without its separator) under the plan that line_key_plan_from_python reads.
PyObject* keytest_line_key(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

inline constexpr const char* kLineKeyDoc =
    "line_key(fields, tab, zero_terminated, line, random_seed=0, /)\n--\n\n"
    "The key bytes of a line under a plan of (start_field, start_char, end_field, end_char, flags) tuples.";

}  // namespace tessarune::python
