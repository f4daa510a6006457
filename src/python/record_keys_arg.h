// The keys of JSON Lines and CSV records as sort_files takes them: `key` a str of keys in the
// command's -k syntax, a tessarune.Key, or a list of either; `reverse` one bool for every key
// or a list, one per key; `nulls_last` None, one bool or a list. All of it is read here, with
// the command's own parsing, so that a key means one thing from every front door.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "job/job_spec.h"

namespace tessarune::python {

// Fills spec.record_keys (spec.format and spec.csv_header already set). Any argument may be
// null (not given). 0, or -1 with TypeError or ValueError set.
int bind_record_keys(PyObject* key, PyObject* reverse, PyObject* nulls_last, bool numeric, job::JobSpec& spec);

}  // namespace tessarune::python
