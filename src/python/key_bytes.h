// tessarune.key_bytes: the key bytes of a sort key, as a module-level function.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::python {

// Adds key_bytes to the module. 0, or -1 with an exception set.
int add_key_bytes_function(PyObject* module);

}  // namespace tessarune::python
