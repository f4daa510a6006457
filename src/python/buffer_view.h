// Holds a buffer export for the duration of a call: the exporter keeps the bytes in place
// (a bytearray cannot be resized) until the view is released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "base/growable_array.h"

namespace tessarune::python {

class BufferView {
public:
    BufferView() = default;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    int get(PyObject* obj) {  // 0, or -1 with an exception set
        if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) return -1;
        held_ = true;
        return 0;
    }
    Bytes bytes() const {
        return Bytes(static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len));
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tessarune::python
