// _tessarune._Bucketer (bucketer.cc).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::python {

// The _Bucketer type of `module`, for its state: a new reference, or nullptr with an
// exception set.
PyObject* make_bucketer_type(PyObject* module);

}  // namespace tessarune::python
