// The key plan of lines as Python code hands it over: the tuples that
// the tests' reference keying (tests/reference_line_keys.py, plan_fields) makes from -k options.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "format/line_key.h"

namespace tessarune::python {

// Reads `fields`, a non-empty sequence of 5-tuples (start_field, start_char, end_field or None,
// end_char, flags) of non-negative ints with the meanings of format::LineKeyField, `tab`
// (None, or bytes of length one), `zero_terminated` and `random_seed` (an int below 2**64 that
// seeds the hash of R fields; None or nullptr: 0) into *out. Returns 0, or -1 with
// TypeError (wrong types), ValueError (a negative number, unknown flags, no fields, a separator
// that is not one byte) or OverflowError (a number beyond 64 bits) set.
int line_key_plan_from_python(PyObject* fields, PyObject* tab, int zero_terminated, PyObject* random_seed,
                              format::LineKeyPlan* out);

}  // namespace tessarune::python
