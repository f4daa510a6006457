// The cluster sort's shard and range phases through the job layer's reading (shard_bucketing.cc):
// _sample_keys, _bucket_file and _add_bucket_file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::python {

// Adds the functions to the module. 0, or -1 with an exception set.
int add_shard_bucketing_functions(PyObject* module);

}  // namespace tessarune::python
