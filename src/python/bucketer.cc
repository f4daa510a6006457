// _tessarune._Bucketer: one shard's records bucketed buffer after buffer, each range's blocks
// written to its file as soon as they are sealed (see bucket_records.cc).
#include "python/bucketer.h"

#include <atomic>
#include <new>

#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/range_buckets.h"

namespace tessarune::python {
namespace {


struct BucketerState {
    BucketerState(KeyedPlan p, RangeBuckets b) : plan(std::move(p)), buckets(std::move(b)) {}
    KeyedPlan plan;
    RangeBuckets buckets;
    ByteBuffer key{kKeyBufferCapacity};
    bool finished = false;          // changed only by the call that holds `busy`
    std::atomic<bool> busy{false};  // a call is running: another thread's call is refused
};

struct BucketerObject {
    PyObject_HEAD
    PyObject* plan_tuple;                  // holds the fallback that the plan borrows
    std::unique_ptr<BucketerState> state;  // constructed in place by tp_new
};

// Runs `call` on the bucketer's state, refusing it while another thread's call runs (the
// state is used detached, so two calls at once would share its buffers and files) and once
// the bucketer is finished.
template <class Call>
PyObject* call_while_open(PyObject* self, Call&& call) {
    BucketerState& state = *reinterpret_cast<BucketerObject*>(self)->state;
    bool idle = false;
    if (!state.busy.compare_exchange_strong(idle, true)) {
        PyErr_SetString(PyExc_RuntimeError, "the bucketer is in use by another thread");
        return nullptr;
    }
    struct Idle {
        std::atomic<bool>& busy;
        ~Idle() { busy.store(false); }
    } idle_after{state.busy};
    if (state.finished) {
        PyErr_SetString(PyExc_ValueError, "the bucketer is finished");
        return nullptr;
    }
    return call(state);
}

int read_paths_list(PyObject* obj, std::vector<std::string>* out) {
    Ref seq(PySequence_Fast(obj, "the paths must be a sequence"));
    if (!seq) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* converted = nullptr;
        if (!PyUnicode_FSConverter(PySequence_Fast_GET_ITEM(seq.get(), i), &converted)) return -1;
        Ref path(converted);
        out->emplace_back(PyBytes_AS_STRING(path.get()), static_cast<size_t>(PyBytes_GET_SIZE(path.get())));
    }
    return 0;
}

PyObject* bucketer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guarded([&]() -> PyObject* {
        PyObject *plan_tuple = nullptr, *boundaries_obj = nullptr, *acceleration_obj = nullptr,
                 *paths_obj = nullptr;
        if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
            !PyArg_UnpackTuple(args, "_Bucketer", 4, 4, &plan_tuple, &boundaries_obj, &acceleration_obj,
                               &paths_obj)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_Bucketer() takes positional arguments only");
            return nullptr;
        }
        KeyedPlan plan;
        if (read_plan_or_python(plan_tuple, &plan) < 0) return nullptr;
        std::vector<std::string> boundaries;
        std::vector<std::string> paths;
        int acceleration = 0;
        if (read_boundaries(boundaries_obj, &boundaries) < 0 || read_acceleration(acceleration_obj, &acceleration) < 0 ||
            read_paths_list(paths_obj, &paths) < 0) {
            return nullptr;
        }
        if (paths.size() != boundaries.size() + 1) {
            PyErr_SetString(PyExc_ValueError, "one path per range: one more than the boundaries");
            return nullptr;
        }
        auto state = std::make_unique<BucketerState>(
            std::move(plan), RangeBuckets(std::move(boundaries), acceleration, std::move(paths)));
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<BucketerObject*>(self.get());
        obj->plan_tuple = Py_NewRef(plan_tuple);
        new (&obj->state) std::unique_ptr<BucketerState>(std::move(state));
        return self.release();
    });
}

int bucketer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<BucketerObject*>(self)->plan_tuple);
    return 0;
}

void bucketer_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* obj = reinterpret_cast<BucketerObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    {
        // Closing files that were never finished may wait on the file system.
        Detached detached;
        obj->state.~unique_ptr();
    }
    Py_CLEAR(obj->plan_tuple);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* bucketer_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"buffer", "at_end"};
    static constexpr ArgSpec kSpec{"_Bucketer.add()", kNames, 2, 2, 2};
    return call_guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
        bool at_end = false;
        if (read_bool(bound[1], &at_end) < 0) return nullptr;
        BufferView view;
        if (view.get(bound[0]) < 0) return nullptr;
        return call_while_open(self, [&](BucketerState& state) -> PyObject* {
            Progress progress;
            if (bucket_buffer(state.plan, view.bytes(), at_end, state.buckets, state.key, progress) < 0) {
                return nullptr;
            }
            return Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(progress.consumed),
                                 static_cast<Py_ssize_t>(progress.lines),
                                 progress.error ? progress.error.get() : Py_None);
        });
    });
}

PyObject* bucketer_finish(PyObject* self, PyObject*) {
    return call_guarded([&]() -> PyObject* {
        return call_while_open(self, [](BucketerState& state) -> PyObject* {
            state.finished = true;
            bool ok = false;
            {
                Detached detached;
                ok = state.buckets.seal_all();
                ok = state.buckets.close_files() && ok;
            }
            if (!ok) return raise_engine_error(*state.buckets.error());
            return state.buckets.written_list();
        });
    });
}

constexpr const char kBucketerDoc[] =
    "_Bucketer(plan, boundaries, acceleration, paths, /)\n"
    "--\n"
    "\n"
    "The records of one file, buffer after buffer, keyed as the plan says and cut into the\n"
    "ranges of the boundaries as _bucket_records does, each range's blocks written to its path\n"
    "(made when the range gets its first block; it must not exist).";

constexpr const char kBucketerAddDoc[] =
    "add($self, buffer, at_end, /)\n"
    "--\n"
    "\n"
    "Bucket the complete records of a buffer, writing the blocks that fill up; return\n"
    "(bytes taken, lines taken, None or the message of the bad record the reading stopped\n"
    "before).";

constexpr const char kBucketerFinishDoc[] =
    "finish($self, /)\n"
    "--\n"
    "\n"
    "Write what is left, close the files and return the bytes written to each range.";

PyMethodDef kBucketerMethods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bucketer_add)), METH_FASTCALL | METH_KEYWORDS,
     kBucketerAddDoc},
    {"finish", bucketer_finish, METH_NOARGS, kBucketerFinishDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBucketerSlots[] = {
    {Py_tp_doc, const_cast<char*>(kBucketerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(bucketer_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(bucketer_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bucketer_dealloc)},
    {Py_tp_methods, kBucketerMethods},
    {0, nullptr},
};

PyType_Spec kBucketerSpec = {
    "_tessarune._Bucketer",
    sizeof(BucketerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kBucketerSlots,
};

}  // namespace

PyObject* make_bucketer_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kBucketerSpec, nullptr); }

}  // namespace tessarune::python
