// The Sorter type: its slots, its method table, and the methods too small for a file of
// their own.
#include <new>

#include "python/arg_binding.h"
#include "python/errors.h"
#include "python/sorter_docs.h"
#include "python/sorter_new.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {

SorterObject* as_sorter(PyObject* self) { return reinterpret_cast<SorterObject*>(self); }

Py_ssize_t sorter_len(PyObject* self) {
    return static_cast<Py_ssize_t>(as_sorter(self)->item_count.load(std::memory_order_relaxed));
}

PyObject* sorter_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* sorter_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr ArgSpec kSpec{"Sorter.__exit__()", {}, 0, 0, 0, true};
    return call_guarded([&]() -> PyObject* {
        if (bind_fastcall(kSpec, args, nargs, kwnames, nullptr) < 0) return nullptr;
        Ref closed(sorter_close(self, nullptr));
        if (!closed) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* sorter_class_getitem(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static constexpr const char* kNames[] = {"key"};
    static constexpr ArgSpec kSpec{"Sorter.__class_getitem__()", kNames, 0, 1, 1};
    return call_guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
        return Py_GenericAlias(cls, bound[0]);
    });
}

int sorter_traverse(PyObject* self, visitproc visit, void* arg) {
    SorterObject* s = as_sorter(self);
    // The base type's traverse, for a heap type's instance: its reference to the type.
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->key_fn);
    Py_VISIT(s->encode_fn);
    Py_VISIT(s->decode_fn);
    return 0;
}

void sorter_dealloc(PyObject* self) {
    SorterObject* s = as_sorter(self);
    PyObject_GC_UnTrack(self);
    release_core(s->core);
    s->core.~shared_ptr();
    Py_CLEAR(s->key_fn);
    Py_CLEAR(s->encode_fn);
    Py_CLEAR(s->decode_fn);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

template <typename F>
constexpr PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"add", as_cfunction(sorter_add), METH_FASTCALL | METH_KEYWORDS, kAddDoc},
    {"add_encoded", as_cfunction(sorter_add_encoded), METH_FASTCALL | METH_KEYWORDS,
     kAddEncodedDoc},
    {"sort", as_cfunction(sorter_sort), METH_FASTCALL | METH_KEYWORDS, kSortDoc},
    {"encoded", sorter_encoded, METH_NOARGS, kEncodedDoc},
    {"write_to", as_cfunction(sorter_write_to), METH_FASTCALL | METH_KEYWORDS, kWriteToDoc},
    {"close", sorter_close, METH_NOARGS, kCloseDoc},
    {"__enter__", sorter_enter, METH_NOARGS, kEnterDoc},
    {"__exit__", as_cfunction(sorter_exit), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {"__class_getitem__", as_cfunction(sorter_class_getitem),
     METH_CLASS | METH_FASTCALL | METH_KEYWORDS, kClassGetitemDoc},
    // Later additions go last, so the order of the first nine never moves.
    {"stats", sorter_stats, METH_NOARGS, kStatsDoc},
    {"_add_lines", as_cfunction(sorter_add_lines), METH_FASTCALL | METH_KEYWORDS, kAddLinesDoc},
    {"_write_lines", as_cfunction(sorter_write_lines), METH_FASTCALL | METH_KEYWORDS,
     kWriteLinesDoc},
    {"_add_keyed", as_cfunction(sorter_add_keyed), METH_FASTCALL | METH_KEYWORDS, kAddKeyedDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kSorterDoc)},
    {Py_tp_new, reinterpret_cast<void*>(sorter_new)},
    {Py_mp_length, reinterpret_cast<void*>(sorter_len)},
    {Py_tp_traverse, reinterpret_cast<void*>(sorter_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sorter_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tessarune.Sorter",
    sizeof(SorterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kSlots,
};

}  // namespace

PyObject* make_sorter_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kSpec, nullptr); }

void release_core(std::shared_ptr<SorterCore>& core) {
    if (!core) return;
    // Only the last reference does real work (joining a spill, removing files), but another
    // holder may let go at the same moment, so whoever resets cannot know it is not last.
    PyThreadState* tstate = PyEval_SaveThread();
    core.reset();
    PyEval_RestoreThread(tstate);
}

}  // namespace tessarune::python
