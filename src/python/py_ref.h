// An owned reference to a Python object, released when it goes out of scope.
//
// Failures in the Python interface return early from many places; holding every new
// reference in a Ref makes each of those returns release what was taken so far.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tessarune::python {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (nullptr allowed).
    explicit Ref(PyObject* owned) : p_(owned) {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    // A new reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) { return Ref(Py_XNewRef(borrowed)); }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace tessarune::python
