// add, add_encoded and the adding half of sort(items).
//
// The key and the payload are made first, attached and without the engine's lock, so that
// Python code (the key function, the codec) never runs while the lock is held; the lock is
// then held only to copy the bytes in, or to hand a full half to a spill.
#include <optional>

#include "python/key_walk.h"
#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {

constexpr size_t kKeyBufferCapacity = 64;
constexpr uint64_t kRecordsPerPoll = 1024;
constexpr uint64_t kBytesPerPoll = 1 << 20;

SorterObject* as_sorter(PyObject* self) { return reinterpret_cast<SorterObject*>(self); }

Bytes bytes_of(PyObject* bytes) {
    return Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)),
                 static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}


int add_record(SorterObject* self, Bytes key, Bytes payload) {
    SorterCore& core = *self->core;
    for (;;) {
        UnwindPoll poll;
        CoreStatus result;
        {
            CoreLock lock(core, CoreLock::How::TryFirst);
            if (!lock.locked()) {
                lock.raise_not_locked();
                return -1;
            }
            // Waiting for a spill can take long: not attached, so other threads and the
            // collector are not held up.
            if (!lock.detached() && core.add_may_wait(key.size(), payload.size())) lock.detach();
            result = core.add_record(key, payload, poll);
        }
        if (result) break;
        if (!(poll.asked() && result.error().is_interrupted())) {
            raise_core_error(result.error());
            return -1;
        }
        // The wait for a spill gave up so that signals are checked with the mutex free; the
        // record was not added, and the next try waits for the same spill.
        if (PyErr_CheckSignals() < 0) return -1;
    }
    self->item_count.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

PyObject* encode_payload(SorterObject* self, PyObject* item) {
    if (self->codec_kind == CodecKind::UserCodec) {
        return PyObject_CallOneArg(self->encode_fn, item);
    }
    Ref protocol(PyLong_FromLong(5));
    if (!protocol) return nullptr;
    PyObject* argv[] = {nullptr, item, protocol.get()};
    return PyObject_Vectorcall(self->encode_fn, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
}

// Keys, encodes and adds one item. The key function runs before the codec, and the codec
// never runs for an item whose key failed. Adds the record's size to *work when given.
int add_item(SorterObject* self, PyObject* item, ByteBuffer& key, uint64_t* work = nullptr) {
    key.clear();
    {
        Ref computed;
        PyObject* sort_key = item;
        if (self->key_fn != nullptr) {
            computed.reset(PyObject_CallOneArg(self->key_fn, item));
            if (!computed) return -1;
            sort_key = computed.get();
        }
        if (encode_key(sort_key, key) < 0) return -1;
    }
    Ref payload(encode_payload(self, item));
    if (!payload) return -1;
    if (!PyBytes_Check(payload.get())) {
        Ref name(type_name_of(payload.get()));
        if (!name) return -1;
        PyErr_Format(PyExc_TypeError, "a codec must encode an item into bytes, not %U",
                     name.get());
        return -1;
    }
    if (work != nullptr) *work += key.size() + static_cast<uint64_t>(PyBytes_GET_SIZE(payload.get()));
    return add_record(self, key.span(), bytes_of(payload.get()));
}

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"item"};
    static constexpr ArgSpec kSpec{"Sorter.add()", kNames, 1, 1, 1};
    PyObject* bound[1];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    SorterObject* sorter = as_sorter(self);
    if (check_can_add(sorter) < 0) return nullptr;
    ByteBuffer key(kKeyBufferCapacity);
    if (add_item(sorter, bound[0], key) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* add_encoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr const char* kNames[] = {"key", "payload"};
    static constexpr ArgSpec kSpec{"Sorter.add_encoded()", kNames, 2, 2, 2};
    PyObject* bound[2];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    PyObject* payload = bound[1];
    if (!PyBytes_Check(payload)) {
        raise_not_instance(payload, "bytes");
        add_processing_note("payload");
        return nullptr;
    }
    SorterObject* sorter = as_sorter(self);
    if (check_can_add(sorter) < 0) return nullptr;
    ByteBuffer key(kKeyBufferCapacity);
    if (encode_key(bound[0], key) < 0) return nullptr;
    if (add_record(sorter, key.span(), bytes_of(payload)) < 0) return nullptr;
    Py_RETURN_NONE;
}

int add_items(SorterObject* self, PyObject* items) {
    if (check_can_add(self) < 0) return -1;
    // One buffer for the whole iterable: steady adding does not allocate for keys.
    ByteBuffer key(kKeyBufferCapacity);
    Ref iterator(PyObject_GetIter(items));
    if (!iterator) return -1;
    // A list iterator, pickle and the key encoding are all C code: nothing else would look
    // for Ctrl-C before the last item. Polling by work done keeps that within milliseconds
    // for small items and large ones alike.
    uint64_t records = 0;
    uint64_t bytes = 0;
    for (;;) {
        PyObject* next = nullptr;
        const int got = PyIter_NextItem(iterator.get(), &next);
        if (got <= 0) return got;
        Ref item(next);
        if (add_item(self, item.get(), key, &bytes) < 0) return -1;
        if (++records >= kRecordsPerPoll || bytes >= kBytesPerPoll) {
            records = 0;
            bytes = 0;
            if (PyErr_CheckSignals() < 0) return -1;
        }
    }
}

}  // namespace

// The early answer of every door; add_record decides again under the engine's lock.
int check_can_add(SorterObject* self) {
    switch (self->status.load(std::memory_order_relaxed)) {
        case SorterStatus::Open:
            return 0;
        case SorterStatus::Closed:
            raise_core_error(Refusal::Closed);
            return -1;
        case SorterStatus::Read:
            break;
    }
    // Never sleep for this: a busy lock means a read is in progress anyway.
    bool stopped = false;
    SorterCore& core = *self->core;
    if (core.try_lock()) {
        stopped = core.state_kind() == StateKind::Stopped;
        core.unlock();
    }
    raise_core_error(stopped ? Refusal::Stopped : Refusal::AddAfterRead);
    return -1;
}

PyObject* sorter_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return add(self, args, nargs, kwnames); });
}

PyObject* sorter_add_encoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return call_guarded([&] { return add_encoded(self, args, nargs, kwnames); });
}

int sorter_add_items(SorterObject* self, PyObject* items) {
    if (items == nullptr || items == Py_None) return 0;
    return call_guarded([&] { return add_items(self, items); });
}

}  // namespace tessarune::python
