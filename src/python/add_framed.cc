// Sorter._add_framed(buffer) -> consumed: adds every record of the whole bucket blocks at the
// front of a buffer (the partition phase of the cluster sort), under the key bytes the blocks
// carry, without a Python call per record. A damaged block raises ValueError.
#include <string>
#include <string_view>

#include "python/adding_rounds.h"
#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/framed_blocks.h"
#include "python/keyed_plan.h"
#include "python/sorter_object.h"
#include "run/bucket_block.h"

namespace tessarune::python {
namespace {

PyObject* raise_damaged(std::string_view path, const std::string& what) {
    if (path.empty()) return PyErr_Format(PyExc_ValueError, "%s", what.c_str());
    const std::string where(path);
    return PyErr_Format(PyExc_ValueError, "%s: %s", where.c_str(), what.c_str());
}

}  // namespace

Py_ssize_t add_framed_blocks(SorterObject* self, Bytes all, ByteBuffer& raw, std::string_view path) {
    SorterCore& core = *self->core;
    size_t consumed = 0;
    while (consumed < all.size()) {
        BucketBlock block = read_bucket_block(all.subspan(consumed), raw);
        if (block.step == BucketStep::NeedMore) break;
        if (block.step == BucketStep::Bad) return (raise_damaged(path, block.error), -1);
        BucketRecords records(raw.span());
        Bytes key;
        Bytes payload;
        bool bad = false;
        bool pending = records.next(key, payload, bad);  // a record not yet added
        const int added = add_in_rounds(self, [&](Poll& poll, uint64_t& count) -> RoundResult {
            while (pending) {
                EngineStatus one = core.add([&](Filling& f) { return f.add(key, payload, poll); });
                if (!one) return Unexpected(std::move(one).error());
                pending = records.next(key, payload, bad);
                if (round_is_over(++count)) return RoundEnd::CheckSignals;
            }
            return RoundEnd::Done;
        });
        if (added < 0) return -1;
        if (bad) return (raise_damaged(path, "a bucket block's record runs past the block (the file is damaged)"), -1);
        consumed += block.length;
    }
    return static_cast<Py_ssize_t>(consumed);
}

namespace {

PyObject* add_framed(SorterObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"buffer"};
    static constexpr ArgSpec kSpec{"Sorter._add_framed()", kNames, 1, 1, 1};
    PyObject* bound[1];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    BufferView view;
    if (view.get(bound[0]) < 0) return nullptr;
    if (check_can_add_made_keys(self) < 0) return nullptr;

    ByteBuffer raw;
    const Py_ssize_t consumed = add_framed_blocks(self, view.bytes(), raw, {});
    return consumed < 0 ? nullptr : PyLong_FromSsize_t(consumed);
}

}  // namespace

PyObject* sorter_add_framed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] {
        return add_framed(reinterpret_cast<SorterObject*>(self), args, nargs, kwnames);
    });
}

}  // namespace tessarune::python
