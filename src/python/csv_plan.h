// CSV seen from Python: the key plan of Sorter._add_keyed, and _csv_record, which reads one
// record (a file's header row) as the bulk path reads every other.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "format/record_keyer.h"

namespace tessarune::python {

// Reads ("csv", delimiter, columns, names, numeric, reverse): delimiter one byte, columns the
// key's cell indexes, names how messages quote those columns. 0, or -1 with an exception set.
int read_csv_plan(PyObject* plan, std::unique_ptr<format::RecordKeyer>* keyer, bool* reverse);

// Adds _csv_record(buffer, delimiter, at_end) to the module.
int add_csv_record_function(PyObject* module);

}  // namespace tessarune::python
