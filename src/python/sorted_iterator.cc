#include "python/sorted_iterator.h"

#include <atomic>
#include <new>

#include "python/core_lock.h"
#include "python/errors.h"

namespace tessarune::python {
namespace {

constexpr const char kIteratorDoc[] = "The items of a sorter, merged in order as they are read.";

IteratorObject* as_iterator(PyObject* self) { return reinterpret_cast<IteratorObject*>(self); }

// Ends a read that an item could not be made for, so that the iterator ends as a generator
// does once it has raised. The exception being raised stays set. A thread that holds the
// mutex already (a signal handler inside one of its own waits) leaves the read alone.
void stop_after_failure(SorterCore& core) {
    CoreLock lock(core, CoreLock::How::Detached);
    if (lock.locked()) core.stop_read();
}

struct Taken {
    PyObject* bytes = nullptr;  // the payload; nullptr at the end or on failure
    // A payload left the batch but could not be made into an object: it is lost to the
    // caller, so the read must not go on as if nothing happened.
    bool lost = false;
};

// The next payload as a new bytes object: none and no exception at the end of the data,
// none and an exception on failure.
Taken next_payload_object(SorterCore& core) {
    SignalPoll poll;
    CoreLock lock(core, CoreLock::How::TryFirst);
    if (!lock.locked()) {
        lock.release();
        return {raise_core_error(CoreError(lock.refusal()))};
    }
    if (core.batch_used_up()) {
        // Once per batch: the only place where a long iteration driven from C code (list(),
        // a C decoder), which never checks for signals itself, notices Ctrl-C.
        if (poll.give_up()) {
            lock.detach();
            core.stop_read();  // removes the spill directory: detached
            lock.release();
            return {raise_core_error(CoreError(IoError::of_kind(IoErrorKind::Interrupted)), &poll)};
        }
        lock.detach();
        CoreStatus refilled = core.refill_batch();
        if (!refilled.ok()) {
            lock.release();
            return {raise_core_error(refilled.error())};
        }
    }
    Bytes payload;
    switch (core.next_payload(&payload)) {
        case NextPayload::Nothing:
            return {};
        case NextPayload::Closed:
            lock.release();
            return {raise_core_error(CoreError(Refusal::Closed))};
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

PyObject* next_item(IteratorObject* self) {
    SorterCore& core = *self->core;
    Taken taken = next_payload_object(core);
    Ref payload(taken.bytes);
    if (!payload) {
        if (taken.lost) stop_after_failure(core);
        return nullptr;
    }
    if (self->decode_fn == nullptr) return payload.release();
    PyObject* item = PyObject_CallOneArg(self->decode_fn, payload.get());
    payload.reset();
    if (item == nullptr) stop_after_failure(core);
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

PyTypeObject* iterator_type() {
    // Made by whichever thread first needs it. Two threads may both make one; the first to
    // publish wins and the other drops its copy, so no thread ever waits here.
    static std::atomic<PyTypeObject*> made{nullptr};
    PyTypeObject* type = made.load(std::memory_order_acquire);
    if (type != nullptr) return type;
    PyObject* fresh = PyType_FromSpec(&kSpec);
    if (fresh == nullptr) return nullptr;
    PyTypeObject* expected = nullptr;
    if (made.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(fresh),
                                     std::memory_order_acq_rel, std::memory_order_acquire)) {
        return reinterpret_cast<PyTypeObject*>(fresh);
    }
    Py_DECREF(fresh);
    return expected;
}

PyObject* new_sorted_iterator(const std::shared_ptr<SorterCore>& core, Ref decode_fn) {
    PyTypeObject* type = iterator_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    IteratorObject* it = as_iterator(self);
    new (&it->core) std::shared_ptr<SorterCore>(core);
    it->decode_fn = decode_fn.release();
    return self;
}

}  // namespace tessarune::python
