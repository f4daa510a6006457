// The extension module _tessarune: multi-phase initialisation, no global interpreter lock.
#include "python/core_lock.h"
#include "python/csv_plan.h"
#include "python/key_bytes.h"
#include "python/merge_lines.h"
#include "python/py_ref.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {

// Appends "Sorter" to __all__, making the list first if the module has none.
int append_to_all(PyObject* module, const char* name) {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
    Ref all(found);
    if (!all) {
        all.reset(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text) return -1;
    Ref appended(PyObject_CallMethod(all.get(), "append", "O", text.get()));
    return appended ? 0 : -1;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "_tessarune must be executed on a module object");
        return -1;
    }
    if (note_signal_thread() < 0) return -1;
    PyTypeObject* type = sorter_type();
    if (type == nullptr) return -1;
    if (append_to_all(module, "Sorter") < 0) return -1;
    if (add_key_bytes_function(module) < 0) return -1;
    if (add_merge_lines_function(module) < 0) return -1;
    if (add_csv_record_function(module) < 0) return -1;
    return PyModule_AddObjectRef(module, "Sorter", reinterpret_cast<PyObject*>(type));
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The types are made once per process, so their objects must not meet another
    // interpreter: refuse to load into a subinterpreter rather than share them.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tessarune",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tessarune::python

PyMODINIT_FUNC PyInit__tessarune() { return PyModuleDef_Init(&tessarune::python::kModule); }
