// A key plan read from its Python tuple, and the helpers that every binding that keys records
// natively shares (add_keyed.cc, which defines them, and bucket_records.cc).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "base/growable_array.h"
#include "format/record_keyer.h"
#include "python/buffer_view.h"
#include "python/py_ref.h"

namespace tessarune::python {

struct KeyedPlan {
    std::unique_ptr<format::RecordKeyer> keyer;
    bool reverse = false;
    PyObject* fallback = nullptr;  // borrowed from the plan tuple
};

// Reads a plan tuple (see add_keyed.cc): 0, or -1 with an exception set.
int read_plan(PyObject* plan, KeyedPlan* out);
int read_bool(PyObject* obj, bool* out);
// Reverses the order of key bytes.
void complement(uint8_t* p, size_t n);
// Keys a record by a Python function (a declined JSON line's fallback, or the cluster's key
// function): `keyer(record)` answers its key bytes, a str saying why the record is refused, or
// None when it holds no record. 0 with the key in `key`, 1 with the refusal in `error`, 2 for
// None, -1 with an exception set.
int key_by_python(PyObject* keyer, Bytes record, ByteBuffer& key, Ref& error);

}  // namespace tessarune::python
