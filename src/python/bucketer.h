// _tessarune._Bucketer (bucketer.cc).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::python {

// Adds _Bucketer to the module. 0, or -1 with an exception set.
int add_bucketer_type(PyObject* module);

}  // namespace tessarune::python
