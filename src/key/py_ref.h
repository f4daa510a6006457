// An owned reference to a Python object, released when it goes out of scope, so that every
// path out of the key walk (an early return or a std::bad_alloc from the key buffer) drops
// what it took.
#pragma once

#include <Python.h>

#include <utility>

namespace tessarune {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (nullptr allowed).
    explicit PyRef(PyObject* owned) : p_(owned) {}
    ~PyRef() { Py_XDECREF(p_); }

    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    PyObject* p_ = nullptr;
};

}  // namespace tessarune
