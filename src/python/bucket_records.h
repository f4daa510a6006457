// _tessarune._bucket_records: records keyed natively and cut into key ranges, each range's
// records framed in bucket blocks (the shard phase of the cluster sort; _Bucketer does the
// same for a whole file).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tessarune::python {

// Adds _bucket_records to the module. 0, or -1 with an exception set.
int add_bucket_records_function(PyObject* module);

}  // namespace tessarune::python
