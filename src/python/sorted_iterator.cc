#include "python/sorted_iterator.h"

#include <atomic>
#include <new>
#include <thread>

#include "python/core_lock.h"
#include "python/errors.h"

namespace tessarune::python {
namespace {

constexpr const char kIteratorDoc[] = "The items of a sorter, merged in order as they are read.";

IteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

// Ends a read after a failure of next(), so that the iterator ends as a generator does once
// it has raised; the exception being raised stays set. The wait for the mutex is not
// interrupted: an exception is already on its way, and holders other than start_read (which
// cannot run during a read) leave soon. A thread that holds the mutex already leaves the
// read alone.
void stop_after_failure(IteratorObject* self) {
    self->stopped_by.store(std::this_thread::get_id(), std::memory_order_relaxed);
    CoreLock lock(*self->core, CoreLock::How::Detached, CoreLock::Wait::Uninterruptible);
    if (lock.locked()) self->core->stop_read();
}

struct Taken {
    PyObject* bytes = nullptr;  // the payload; nullptr at the end or on failure
    // The failure must end the read: a payload left the batch but could not be made into an
    // object, or a signal handler raised. (A refill error has ended it already.)
    bool stop = false;
    bool stopped = false;  // the failure is one that ended the read
};

// The next payload as a new bytes object: none and no exception at the end of the data,
// none and an exception on failure.
Taken next_payload_object(IteratorObject* self) {
    SorterCore& core = *self->core;
    bool polled = false;
    for (;;) {
        CoreLock lock(core, CoreLock::How::TryFirst);
        if (!lock.locked()) {
            lock.raise_not_locked();
            return {nullptr, lock.interrupted()};
        }
        if (core.batch_used_up() && !polled && runs_signal_handlers()) {
            // Once per batch: the only place where a long iteration driven from C code
            // (list(), a C decoder), which never checks for signals itself, notices Ctrl-C.
            // Handlers run with the mutex free; another thread may refill meanwhile.
            lock.release();
            polled = true;
            if (PyErr_CheckSignals() < 0) return {nullptr, true};
            continue;
        }
        if (core.batch_used_up()) {
            lock.detach();
            EngineStatus refilled = core.refill_batch();
            if (!refilled.ok()) {
                lock.release();
                raise_engine_error(refilled.error());
                return {nullptr, false, true};
            }
        }
        Bytes payload;
        switch (core.next_payload(&payload)) {
            case NextPayload::Nothing:
                if (core.state_kind() == StateKind::Stopped &&
                    self->stopped_by.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
                    lock.release();
                    return {raise_engine_error(EngineError::of_kind(ErrorKind::Stopped))};
                }
                return {};
            case NextPayload::Closed:
                lock.release();
                return {raise_engine_error(EngineError::of_kind(ErrorKind::Closed))};
            case NextPayload::Payload:
                break;
        }
        const char* data = reinterpret_cast<const char*>(payload.data());
        const auto size = static_cast<Py_ssize_t>(payload.size());
        if (!lock.detached()) {
            // The common case: straight from the batch, which stays put while the mutex is held.
            PyObject* bytes = PyBytes_FromStringAndSize(data, size);
            lock.release();
            return {bytes, bytes == nullptr};
        }
        // Attaching while holding the mutex could stall every other user of the sorter behind
        // this thread's wait for the interpreter, so the payload leaves the batch as a copy.
        ByteBuffer copy;
        try {
            copy.append(payload.data(), payload.size());
        } catch (const std::bad_alloc&) {
            lock.release();
            return {PyErr_NoMemory(), true};
        }
        lock.release();
        PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(copy.data()), size);
        return {bytes, bytes == nullptr};
    }
}

PyObject* next_item(IteratorObject* self) {
    Taken taken = next_payload_object(self);
    Ref payload(taken.bytes);
    if (!payload) {
        if (taken.stop) {
            stop_after_failure(self);
        } else if (taken.stopped) {
            self->stopped_by.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        return nullptr;
    }
    if (self->decode_fn == nullptr) return payload.release();
    PyObject* item = PyObject_CallOneArg(self->decode_fn, payload.get());
    payload.reset();
    if (item == nullptr) stop_after_failure(self);
    return item;
}

PyObject* iterator_next(PyObject* self) {
    return call_guarded([&]() -> PyObject* { return next_item(as_iterator(self)); });
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_iterator(self)->decode_fn);
    return 0;
}

void iterator_dealloc(PyObject* self) {
    IteratorObject* it = as_iterator(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    release_core(it->core);
    it->core.~shared_ptr();
    Py_CLEAR(it->decode_fn);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kIteratorDoc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "tessarune._SortedIterator",
    static_cast<int>(sizeof(IteratorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

PyObject* make_iterator_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &kSpec, nullptr);
}

PyObject* new_sorted_iterator(PyTypeObject* sorter_type, const std::shared_ptr<SorterCore>& core,
                              Ref decode_fn) {
    auto* type = reinterpret_cast<PyTypeObject*>(module_types_of(sorter_type).iterator);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    IteratorObject* it = as_iterator(self);
    new (&it->core) std::shared_ptr<SorterCore>(core);
    it->decode_fn = decode_fn.release();
    new (&it->stopped_by) std::atomic<std::thread::id>();
    return self;
}

}  // namespace tessarune::python
