// tessarune.sort_files' native half: the module function _sort_files, which runs the job of
// sorting files (src/job) with Python's output handle, progress bars and signals behind it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "job/job_spec.h"

namespace tessarune::python {

// The JobSpec that _sort_files builds from these keyword arguments (a dict of its parameters
// but inputs and output, which are not read): 0, or -1 with an exception set.
int job_spec_from_keywords(PyObject* kwargs, job::JobSpec& spec);

// Adds _sort_files to the module. 0, or -1 with an exception set.
int add_sort_files_function(PyObject* module);

}  // namespace tessarune::python
