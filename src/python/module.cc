// The extension module _tessarune: multi-phase initialisation, no global interpreter lock.
#include "python/bucket_records.h"
#include "python/bucketer.h"
#include "python/core_lock.h"
#include "python/csv_plan.h"
#include "python/key_bytes.h"
#include "python/py_ref.h"
#include "python/shard_bucketing.h"
#include "python/sort_files.h"
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

ModuleTypes& types_of(PyObject* module) { return *static_cast<ModuleTypes*>(PyModule_GetState(module)); }

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "_tessarune must be executed on a module object");
        return -1;
    }
    if (note_signal_thread() < 0) return -1;
    ModuleTypes& types = types_of(module);
    types.sorter = make_sorter_type(module);
    if (types.sorter == nullptr) return -1;
    types.iterator = make_iterator_type(module);
    if (types.iterator == nullptr) return -1;
    types.stats = make_stats_type();
    if (types.stats == nullptr) return -1;
    types.bucketer = make_bucketer_type(module);
    if (types.bucketer == nullptr) return -1;
    if (make_error_classes(types) < 0) return -1;
    if (append_to_all(module, "Sorter") < 0) return -1;
    if (add_key_bytes_function(module) < 0) return -1;
    if (add_csv_record_function(module) < 0) return -1;
    if (add_bucket_records_function(module) < 0) return -1;
    if (add_sort_files_function(module) < 0) return -1;
    if (add_shard_bucketing_functions(module) < 0) return -1;
    if (PyModule_AddObjectRef(module, "InputError", types.input_error) < 0) return -1;
    if (PyModule_AddStringConstant(module, "__version__", TESSARUNE_VERSION) < 0) return -1;
    if (PyModule_AddObjectRef(module, "_Bucketer", types.bucketer) < 0) return -1;
    return PyModule_AddObjectRef(module, "Sorter", types.sorter);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleTypes& types = types_of(module);
    Py_VISIT(types.sorter);
    Py_VISIT(types.iterator);
    Py_VISIT(types.stats);
    Py_VISIT(types.bucketer);
    Py_VISIT(types.internal_error);
    Py_VISIT(types.input_error);
    for (PyObject* cls : types.os_errors) Py_VISIT(cls);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleTypes& types = types_of(module);
    Py_CLEAR(types.sorter);
    Py_CLEAR(types.iterator);
    Py_CLEAR(types.stats);
    Py_CLEAR(types.bucketer);
    Py_CLEAR(types.internal_error);
    Py_CLEAR(types.input_error);
    for (PyObject*& cls : types.os_errors) Py_CLEAR(cls);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Every Python object the module makes lives in its state, so each interpreter has its
    // own; the engine holds none.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_tessarune",
    "",
    sizeof(ModuleTypes),
    nullptr,
    kSlots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

ModuleTypes& module_types_of(PyTypeObject* type) {
    // Only this module's types (and their instances' types) ask, so the module is there.
    return types_of(PyType_GetModuleByDef(type, &kModule));
}

ModuleTypes* imported_module_types(PyObject** holder) {
    PyObject* module = PyImport_ImportModule("_tessarune");
    if (module == nullptr || PyModule_GetDef(module) != &kModule) {
        Py_XDECREF(module);
        PyErr_Clear();
        *holder = nullptr;
        return nullptr;
    }
    *holder = module;
    return &types_of(module);
}

}  // namespace tessarune::python

PyMODINIT_FUNC PyInit__tessarune() { return PyModuleDef_Init(&tessarune::python::kModule); }
