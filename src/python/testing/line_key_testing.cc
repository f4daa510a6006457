#include "python/testing/line_key_testing.h"

#include <new>

#include "base/growable_array.h"
#include "format/line_key.h"
#include "python/line_key_plan.h"

namespace tessarune::python {

PyObject* keytest_line_key(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 && nargs != 5) {
        PyErr_Format(PyExc_TypeError, "line_key() takes 4 or 5 arguments (%zd given)", nargs);
        return nullptr;
    }
    const int zero_terminated = PyObject_IsTrue(args[2]);
    if (zero_terminated < 0) return nullptr;
    if (!PyBytes_Check(args[3])) {
        PyErr_Format(PyExc_TypeError, "line_key() needs the line as bytes, not %T", args[3]);
        return nullptr;
    }
    try {
        format::LineKeyPlan plan;
        if (line_key_plan_from_python(args[0], args[1], zero_terminated, nargs == 5 ? args[4] : nullptr, &plan) < 0) return nullptr;
        const Bytes line(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(args[3])),
                         static_cast<size_t>(PyBytes_GET_SIZE(args[3])));
        ByteBuffer out;
        format::append_line_key(plan, line, out);
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                         static_cast<Py_ssize_t>(out.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tessarune::python
