// _merge_lines: the streaming merge of sorted files of lines (-m) and their order check (-c).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::python {

int add_merge_lines_function(PyObject* module);

}  // namespace tessarune::python
