// Argument binding for methods called with METH_FASTCALL | METH_KEYWORDS (and for the
// constructor's tuple and dict), with the interpreter's TypeError messages and the full name
// of the callable in them, e.g. "Sorter.write_to() got an unexpected keyword argument 'x'".
//
// A signature is an ordered list of parameter names: the first `positional_only` can only be
// given by position, the first `positional` by position at all (the rest are keyword-only),
// and the first `required` must be given. With `varargs`, surplus positional arguments are
// accepted (the caller reads them from args itself) instead of refused.
//
// Example, write_to(handle):
//     static constexpr const char* kNames[] = {"handle"};
//     static constexpr ArgSpec kSpec{"Sorter.write_to()", kNames, 0, 1, 1};
//     PyObject* bound[1];
//     if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
//     // bound[0] is a borrowed reference, or nullptr for a parameter that was not given.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "python/py_ref.h"

namespace tessarune::python {

struct ArgSpec {
    const char* full_name;               // "Sorter.add()"
    std::span<const char* const> names;  // every parameter, in order
    size_t positional_only = 0;
    size_t positional = 0;  // >= positional_only, <= names.size()
    size_t required = 0;    // <= positional
    bool varargs = false;
};

// Binds positional arguments args[0..nargs) and keyword arguments (kwnames[i] = kwvalues[i]
// for i < nkw) to `out`, which has one slot per parameter: a borrowed reference, or nullptr
// for a parameter not given. Returns 0, or -1 with TypeError set.
int bind_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
              PyObject* const* kwnames, PyObject* const* kwvalues, Py_ssize_t nkw,
              PyObject** out);

// The vectorcall form: keyword values follow the positional ones in args, and kwnames is a
// tuple of their names or nullptr.
int bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** out);

// The tp_new form: a tuple of positional arguments and a dict of keyword arguments (or
// nullptr). The keyword arguments are bound from a private copy of the dict held by
// `keywords`, so `out` borrows from it: keep `keywords` alive while `out` is used.
class KeywordCopy {
public:
    int load(PyObject* kwargs);  // 0, or -1 with an exception set
    std::span<PyObject* const> names() const { return names_; }
    std::span<PyObject* const> values() const { return values_; }

private:
    Ref dict_;
    std::vector<PyObject*> names_;   // borrowed from dict_
    std::vector<PyObject*> values_;  // borrowed from dict_
};

int bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                    KeywordCopy& keywords, PyObject** out);

// A separator argument of the command line's private methods: bytes of length one. 0 with
// *sep set, or -1 with ValueError set.
int read_separator(PyObject* obj, uint8_t* sep);

}  // namespace tessarune::python
