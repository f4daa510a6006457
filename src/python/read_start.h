// Starting a read from Python: the one engine call shared by sort(), encoded() and
// write_to().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "python/sorter_object.h"

namespace tessarune::python {

// Runs the engine's start_read for `self`, detached from the interpreter for all of it
// (spill waits and merge passes can take long) and polling signals meanwhile. With keep the
// merge stays in the engine for the iterator; without it the merge is handed to *merger.
// Returns false with an exception set: a refusal, an engine error, or what a signal handler
// raised while the read was starting.
bool start_reading(SorterObject* self, bool keep, std::unique_ptr<FinalMerge>* merger);

}  // namespace tessarune::python
