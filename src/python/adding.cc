// add, add_encoded and the adding half of sort(items).
//
// The key and the payload are made first, attached and without the engine's lock, so that
// Python code (the key function, the codec) never runs while the lock is held; the lock is
// then held only to copy the bytes in, or to hand a full half to a spill.
#include <cstring>
#include <optional>
#include <utility>

#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "key/key_encoding.h"
#include "python/errors.h"
#include "python/key_kinds.h"
#include "python/key_walk.h"
#include "python/py_ref.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {

// A key buffer that grew past this for one large key is not kept for the next call.
constexpr size_t kKeptKeyBufferCapacity = 1 << 20;
constexpr uint64_t kRecordsPerPoll = 1024;
constexpr uint64_t kBytesPerPoll = 1 << 20;

SorterObject* as_sorter(PyObject* self) { return reinterpret_cast<SorterObject*>(self); }

// Each thread keeps one key buffer between calls, so that steady adding allocates nothing
// for keys. A call takes it out of the slot for its duration and puts it back afterwards: a
// call nested inside (a key's __index__ or a key function that adds to a sorter) finds the
// slot empty and uses a buffer of its own.
thread_local ByteBuffer t_kept_key_buffer;

class KeyBuffer {
public:
    KeyBuffer() : buffer_(std::move(t_kept_key_buffer)) {
        if (buffer_.capacity() == 0) buffer_.set_capacity(kKeyBufferCapacity);
        buffer_.clear();
    }
    ~KeyBuffer() {
        if (buffer_.capacity() <= kKeptKeyBufferCapacity &&
            buffer_.capacity() > t_kept_key_buffer.capacity()) {
            t_kept_key_buffer = std::move(buffer_);
        }
    }
    KeyBuffer(const KeyBuffer&) = delete;
    KeyBuffer& operator=(const KeyBuffer&) = delete;
    ByteBuffer& get() { return buffer_; }

private:
    ByteBuffer buffer_;
};

Bytes bytes_of(PyObject* bytes) {
    return Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(bytes)),
                 static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

// Only adding changes the count, always under the engine's lock, so it needs no atomic
// read-modify-write; readers without the lock see one value or the next.
void count_item(SorterObject* self) {
    self->item_count.store(self->item_count.load(std::memory_order_relaxed) + 1,
                           std::memory_order_relaxed);
}


// Unlocks the engine's mutex, taken with try_lock, when it goes.
class Unlocker {
public:
    explicit Unlocker(SorterCore& core) : core_(core) {}
    ~Unlocker() { core_.unlock(); }
    Unlocker(const Unlocker&) = delete;
    Unlocker& operator=(const Unlocker&) = delete;

private:
    SorterCore& core_;
};

// The slow way in: the lock may be busy, or the record may have to wait for a spill.
int add_record_waiting(SorterObject* self, Bytes key, Bytes payload) {
    SorterCore& core = *self->core;
    for (;;) {
        UnwindPoll poll;
        EngineStatus result;
        {
            CoreLock lock(core, CoreLock::How::TryFirst);
            if (!lock.locked()) {
                lock.raise_not_locked();
                return -1;
            }
            // Waiting for a spill can take long: not attached, so other threads and the
            // collector are not held up.
            EngineResult<bool> full = core.add([&](Filling& f) -> EngineResult<bool> { return f.is_full_for(key, payload); });
            if (!lock.detached() && full && *full) lock.detach();
            result = core.add([&](Filling& f) { return f.add(key, payload, poll); });
            if (result) count_item(self);
        }
        if (result) return 0;
        if (!(poll.asked() && result.error().kind() == ErrorKind::GaveUp)) {
            raise_engine_error(result.error());
            return -1;
        }
        // The wait for a spill gave up so that signals are checked with the mutex free; the
        // record was not added, and the next try waits for the same spill.
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

// The usual case: the lock is free and the record fits in the filling half, so nothing can
// wait and no signal needs polling. Calls try_add(filling) under the lock: 1 when it added the
// record, 0 when the record has to go the slow way (the lock is busy, the half is full, a
// forked child, which the slow way refuses), -1 with an exception set.
template <typename TryAdd>
int add_without_waiting(SorterObject* self, TryAdd try_add) {
    SorterCore& core = *self->core;
    if (!core.in_creating_process() || !core.try_lock()) return 0;
    EngineResult<bool> added = [&] {
        // Unlocked however this ends: growing the half can throw std::bad_alloc.
        const Unlocker unlocker(core);
        EngineResult<bool> result = core.add(try_add);
        if (result && *result) count_item(self);
        return result;
    }();
    if (!added) {
        raise_engine_error(added.error());
        return -1;
    }
    return *added ? 1 : 0;
}

int add_record(SorterObject* self, Bytes key, Bytes payload) {
    const int added = add_without_waiting(
        self, [&](Filling& filling) { return filling.try_add(key, payload); });
    if (added != 0) return added < 0 ? -1 : 0;
    return add_record_waiting(self, key, payload);
}

// add_encoded(b, b) of a bytes object without zero bytes, the way lines are added: its key
// is `tag b 00 00`, written straight into the half with no key buffer. 1 when added, 0 when
// it has to go the usual way, -1 with an exception set.
int try_add_own_bytes(SorterObject* self, Bytes raw) {
    return add_without_waiting(self, [&](Filling& filling) { return filling.try_add_bytes(raw); });
}

// Python refuses to compare naive datetimes with aware ones, and such keys would meet in the
// sort sooner or later: a sorter keeps to the kind its first datetime had.
int admit_datetimes(SorterObject* self, uint8_t seen) {
    if (seen == 0) return 0;
    constexpr uint8_t kBoth = kSeenNaiveDatetime | kSeenAwareDatetime;
    uint8_t before = 0;
    if (seen != kBoth && (self->datetimes_seen.compare_exchange_strong(before, seen) || before == seen)) return 0;
    const char* const which = seen == kBoth                 ? "this key holds both"
                              : seen == kSeenNaiveDatetime ? "this key holds a naive one, earlier keys aware ones"
                                                           : "this key holds an aware one, earlier keys naive ones";
    PyErr_Format(PyExc_TypeError, "a sorter cannot mix naive and aware datetimes, which do not compare: %s", which);
    return -1;
}

// The key of `sort_key` as this sorter orders it, in `key` (cleared first).
int make_key(SorterObject* self, PyObject* sort_key, ByteBuffer& key) {
    key.clear();
    uint8_t seen = 0;
    if (encode_key(sort_key, key, seen) < 0 || admit_datetimes(self, seen) < 0) return -1;
    if (self->reverse) reverse_key(key);
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
    {
        Ref computed;
        PyObject* sort_key = item;
        if (self->key_fn != nullptr) {
            computed.reset(PyObject_CallOneArg(self->key_fn, item));
            if (!computed) return -1;
            sort_key = computed.get();
        }
        if (make_key(self, sort_key, key) < 0) return -1;
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
    if (nargs == 1 && kwnames == nullptr) {
        bound[0] = args[0];
    } else if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) {
        return nullptr;
    }
    SorterObject* sorter = as_sorter(self);
    if (check_can_add(sorter) < 0) return nullptr;
    KeyBuffer key;
    if (add_item(sorter, bound[0], key.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* add_encoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr const char* kNames[] = {"key", "payload"};
    static constexpr ArgSpec kSpec{"Sorter.add_encoded()", kNames, 2, 2, 2};
    PyObject* bound[2];
    if (nargs == 2 && kwnames == nullptr) {
        bound[0] = args[0];
        bound[1] = args[1];
    } else if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) {
        return nullptr;
    }
    PyObject* payload = bound[1];
    if (!PyBytes_Check(payload)) {
        raise_not_instance(payload, "bytes");
        add_processing_note("payload");
        return nullptr;
    }
    SorterObject* sorter = as_sorter(self);
    if (check_can_add(sorter) < 0) return nullptr;
    if (bound[0] == payload && PyBytes_CheckExact(payload) && !sorter->reverse) {
        const Bytes raw = bytes_of(payload);
        if (std::memchr(raw.data(), 0, raw.size()) == nullptr) {
            const int added = try_add_own_bytes(sorter, raw);
            if (added < 0) return nullptr;
            if (added > 0) Py_RETURN_NONE;
        }
    }
    KeyBuffer key;
    if (make_key(sorter, bound[0], key.get()) < 0) return nullptr;
    if (add_record(sorter, key.get().span(), bytes_of(payload)) < 0) return nullptr;
    Py_RETURN_NONE;
}

int add_items(SorterObject* self, PyObject* items) {
    if (check_can_add(self) < 0) return -1;
    // One buffer for the whole iterable: steady adding does not allocate for keys.
    KeyBuffer key;
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
        if (add_item(self, item.get(), key.get(), &bytes) < 0) return -1;
        if (++records >= kRecordsPerPoll || bytes >= kBytesPerPoll) {
            records = 0;
            bytes = 0;
            if (PyErr_CheckSignals() < 0) return -1;
        }
    }
}

}  // namespace

int add_one_record(SorterObject* self, Bytes key, Bytes payload) {
    return add_record(self, key, payload);
}

// The early answer of every door; add_record decides again under the engine's lock.
int check_can_add_made_keys(SorterObject* self) {
    if (self->reverse) {
        PyErr_SetString(PyExc_ValueError, "a Sorter made with reverse=True takes items by add() and add_encoded()");
        return -1;
    }
    return check_can_add(self);
}

int check_can_add(SorterObject* self) {
    switch (self->status.load(std::memory_order_relaxed)) {
        case SorterStatus::Open:
            return 0;
        case SorterStatus::Closed:
            raise_engine_error(EngineError::of_kind(ErrorKind::Closed));
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
    raise_engine_error(EngineError::of_kind(stopped ? ErrorKind::Stopped : ErrorKind::AddAfterRead));
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
