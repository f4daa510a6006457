// Sorter._add_framed(buffer) -> consumed: adds every record of the whole bucket blocks at the
// front of a buffer (the partition phase of the cluster sort), under the key bytes the blocks
// carry, without a Python call per record. A damaged block raises ValueError.
#include <string>

#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/keyed_plan.h"
#include "python/sorter_object.h"
#include "run/bucket_block.h"

namespace tessarune::python {
namespace {

constexpr size_t kRecordsPerPoll = 16384;

PyObject* raise_damaged(const std::string& what) {
    PyErr_Format(PyExc_ValueError, "%s", what.c_str());
    return nullptr;
}

PyObject* add_framed(SorterObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"buffer"};
    static constexpr ArgSpec kSpec{"Sorter._add_framed()", kNames, 1, 1, 1};
    PyObject* bound[1];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    BufferView view;
    if (view.get(bound[0]) < 0) return nullptr;
    if (check_can_add(self) < 0) return nullptr;

    const Bytes all = view.bytes();
    SorterCore& core = *self->core;
    ByteBuffer raw;
    size_t consumed = 0;
    while (consumed < all.size()) {
        BucketBlock block = read_bucket_block(all.subspan(consumed), raw);
        if (block.step == BucketStep::NeedMore) break;
        if (block.step == BucketStep::Bad) return raise_damaged(block.error);
        BucketRecords records(raw.span());
        Bytes key;
        Bytes payload;
        bool bad = false;
        bool pending = records.next(key, payload, bad);  // a record not yet added
        while (pending) {
            UnwindPoll poll;
            CoreStatus result;
            bool check_signals = false;
            {
                CoreLock lock(core, CoreLock::How::Detached);
                if (!lock.locked()) return lock.raise_not_locked();
                uint64_t added = 0;
                while (pending) {
                    result = core.add_record(key, payload, poll);
                    if (!result) break;
                    pending = records.next(key, payload, bad);
                    if (++added % kRecordsPerPoll == 0 && runs_signal_handlers()) {
                        check_signals = true;
                        break;
                    }
                }
                // The count changes only under the engine's lock (see adding.cc).
                self->item_count.store(self->item_count.load(std::memory_order_relaxed) + added,
                                       std::memory_order_relaxed);
            }
            if (!result) {
                if (!(poll.asked() && result.error().is_interrupted())) return raise_core_error(result.error());
                check_signals = true;  // the record was not added; the next round adds it
            }
            if (check_signals && PyErr_CheckSignals() < 0) return nullptr;
        }
        if (bad) return raise_damaged("a bucket block's record runs past the block (the file is damaged)");
        consumed += block.length;
    }
    return PyLong_FromSize_t(consumed);
}

}  // namespace

PyObject* sorter_add_framed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] {
        return add_framed(reinterpret_cast<SorterObject*>(self), args, nargs, kwnames);
    });
}

}  // namespace tessarune::python
