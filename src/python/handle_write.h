// Writing bytes to a Python object's write method, the way every writer of the module does:
// a partial write is followed by a write of the rest, and a raw stream (io.RawIOBase) that
// answers None because it would block is waited on until it can take more.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base/growable_array.h"
#include "python/py_ref.h"

namespace tessarune::python {

struct WriteHandle {
    Ref write;                // the bound write method
    PyObject* object = nullptr;  // borrowed: the caller keeps the handle alive
    bool raw = false;
    int fd = -1;  // a raw stream's descriptor, looked up at its first None
};

// Looks up handle.write and whether the handle is a raw stream. 0, or -1 with an exception set.
int open_write_handle(PyObject* handle, WriteHandle& out);

// Writes all of `rest`. 0, or -1 with an exception set (the handle's own, unchanged).
// REQUIRES: attached.
int write_all(WriteHandle& handle, Bytes rest);

}  // namespace tessarune::python
