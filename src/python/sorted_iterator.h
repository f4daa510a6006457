// _SortedIterator: hands out the items of a sorter whose read has started, one batch of
// merged payloads at a time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "python/py_ref.h"
#include "python/sorter_object.h"

namespace tessarune::python {

// A new iterator over the read in progress in `core`. With a decoder each payload is decoded
// on the way out; without one (encoded()) the payload bytes themselves are the items.
// nullptr with an exception set on failure; the read then stays in the engine until the
// sorter is closed or released.
// `sorter_type` is the sorter's type, which finds the module whose iterator type to use.
PyObject* new_sorted_iterator(PyTypeObject* sorter_type, const std::shared_ptr<SorterCore>& core,
                              Ref decode_fn);

}  // namespace tessarune::python
