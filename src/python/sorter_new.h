// The constructor of Sorter (its tp_new slot).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::python {

PyObject* sorter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace tessarune::python
