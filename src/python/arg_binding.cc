#include "python/arg_binding.h"

#include <algorithm>
#include <string>

namespace tessarune::python {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's way of listing names.
std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += " ";
            if (i + 1 == names.size()) text += "and ";
        }
        text += "'";
        text += names[i];
        text += "'";
    }
    return text;
}

int too_many_positional(const ArgSpec& spec, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (spec.required != spec.positional) {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given",
                     spec.full_name, spec.required, spec.positional, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     spec.full_name, spec.positional, given, verb);
    }
    return -1;
}

// The index of the parameter called `name`, or -1.
Py_ssize_t find_parameter(const ArgSpec& spec, PyObject* name) {
    for (size_t j = 0; j < spec.names.size(); ++j) {
        if (PyUnicode_EqualToUTF8(name, spec.names[j])) return static_cast<Py_ssize_t>(j);
    }
    return -1;
}

}  // namespace

int bind_args(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
              PyObject* const* kwnames, PyObject* const* kwvalues, Py_ssize_t nkw,
              PyObject** out) {
    std::fill(out, out + spec.names.size(), nullptr);

    if (static_cast<size_t>(nargs) > spec.positional && !spec.varargs) {
        return too_many_positional(spec, nargs);
    }
    const size_t taken = std::min(static_cast<size_t>(nargs), spec.positional);
    std::copy(args, args + taken, out);

    std::vector<const char*> positional_only_by_keyword;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        const Py_ssize_t j = find_parameter(spec, kwnames[i]);
        if (j < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         spec.full_name, kwnames[i]);
            return -1;
        }
        if (static_cast<size_t>(j) < spec.positional_only) {
            positional_only_by_keyword.push_back(spec.names[j]);
            continue;
        }
        if (out[j] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         spec.full_name, spec.names[j]);
            return -1;
        }
        out[j] = kwvalues[i];
    }
    if (!positional_only_by_keyword.empty()) {
        PyErr_Format(PyExc_TypeError,
                     "%s got some positional-only arguments passed as keyword arguments: %s",
                     spec.full_name, quoted_list(positional_only_by_keyword).c_str());
        return -1;
    }

    std::vector<const char*> missing;
    for (size_t j = 0; j < spec.required; ++j) {
        if (out[j] == nullptr) missing.push_back(spec.names[j]);
    }
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                     spec.full_name, missing.size(), missing.size() == 1 ? "" : "s",
                     quoted_list(missing).c_str());
        return -1;
    }
    return 0;
}

int bind_fastcall(const ArgSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** out) {
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
        return bind_args(spec, args, nargs, nullptr, nullptr, 0, out);
    }
    return bind_args(spec, args, nargs, &PyTuple_GET_ITEM(kwnames, 0), args + nargs,
                     PyTuple_GET_SIZE(kwnames), out);
}

int KeywordCopy::load(PyObject* kwargs) {
    names_.clear();
    values_.clear();
    dict_.reset();
    if (kwargs == nullptr) return 0;
    // A private copy, so that no other thread can change the dict while out[] borrows from it.
    dict_.reset(PyDict_Copy(kwargs));
    if (!dict_) return -1;
    names_.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict_.get())));
    values_.reserve(names_.capacity());
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict_.get(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return -1;
        }
        names_.push_back(key);
        values_.push_back(value);
    }
    return 0;
}

int bind_tuple_dict(const ArgSpec& spec, PyObject* args, PyObject* kwargs,
                    KeywordCopy& keywords, PyObject** out) {
    if (keywords.load(kwargs) < 0) return -1;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = nargs > 0 ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    return bind_args(spec, positional, nargs, keywords.names().data(), keywords.values().data(),
                     static_cast<Py_ssize_t>(keywords.names().size()), out);
}

int read_separator(PyObject* obj, uint8_t* sep) {
    if (!PyBytes_Check(obj) || PyBytes_GET_SIZE(obj) != 1) {
        PyErr_SetString(PyExc_ValueError, "the separator must be one byte");
        return -1;
    }
    *sep = static_cast<uint8_t>(PyBytes_AS_STRING(obj)[0]);
    return 0;
}

}  // namespace tessarune::python
