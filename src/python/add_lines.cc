// _add_lines: adds every complete line of a buffer, each line its own key, without a Python
// call per line (the command line's way when no key is named).
//
// Descending order without a second comparison: key bytes are prefix-free (no key is a
// proper prefix of another), so complementing every byte of every key exactly reverses
// their order, and equal keys stay equal, so equal items keep their adding order.
#include <cstring>

#include "key/key_encoding.h"
#include "python/adding_rounds.h"
#include "python/arg_binding.h"
#include "python/buffer_view.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/key_walk.h"
#include "python/keyed_plan.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {


SorterObject* as_sorter(PyObject* self) { return reinterpret_cast<SorterObject*>(self); }

// The one place where a line becomes a record: the line without its separator is both its
// key, as a bytes key, and its payload; _write_lines puts the separator back. `may_hold_zero`
// is false when the whole buffer has none. REQUIRES: the mutex held.
EngineStatus add_line_record(SorterCore& core, Bytes line, ByteBuffer& key, bool reverse,
                           bool may_hold_zero, Poll& poll) {
    if (!reverse && (!may_hold_zero || std::memchr(line.data(), 0, line.size()) == nullptr)) {
        // Straight into the half, as add_encoded(b, b) goes; the usual way when it is full.
        EngineResult<bool> added = core.add([&](Filling& f) { return f.try_add_bytes(line); });
        if (!added) return Unexpected(std::move(added).error());
        if (*added) return {};
    }
    key.clear();
    append_escaped(TAG_BYTES, line, key);
    if (reverse) complement(key.data(), key.size());
    return core.add([&](Filling& f) { return f.add(key.span(), line, poll); });
}

PyObject* add_lines(SorterObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    static constexpr const char* kNames[] = {"buffer", "sep", "reverse"};
    static constexpr ArgSpec kSpec{"Sorter._add_lines()", kNames, 3, 3, 2};
    PyObject* bound[3];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    uint8_t sep = 0;
    if (read_separator(bound[1], &sep) < 0) return nullptr;
    const int reverse = bound[2] == nullptr ? 0 : PyObject_IsTrue(bound[2]);
    if (reverse < 0) return nullptr;
    BufferView view;
    if (view.get(bound[0]) < 0) return nullptr;
    if (check_can_add_made_keys(self) < 0) return nullptr;

    const Bytes all = view.bytes();
    // One pass over the buffer rather than one per line: text seldom holds a zero byte.
    const bool may_hold_zero = sep != 0 && std::memchr(all.data(), 0, all.size()) != nullptr;
    ByteBuffer key(kKeyBufferCapacity);
    SorterCore& core = *self->core;
    const uint8_t* base = all.data();
    size_t consumed = 0;
    // Detached for the whole buffer: the rounds touch no Python object, only the exported
    // bytes, which stay put while the export is held.
    const int added = add_in_rounds(self, [&](Poll& poll, uint64_t& count) -> RoundResult {
        while (consumed < all.size()) {
            if (!reverse) {
                // As many lines as the half takes as it stands, in one call; the line it
                // stops before goes the one-record way below.
                EngineResult<LinesTaken> taken = core.add([&](Filling& f) {
                    return f.try_add_lines(all.subspan(consumed), sep, may_hold_zero,
                                           kRecordsPerRound - count % kRecordsPerRound);
                });
                if (!taken) return Unexpected(std::move(taken).error());
                consumed += taken->bytes;
                count += taken->lines;
                if (taken->lines != 0 && round_is_over(count)) return RoundEnd::CheckSignals;
                if (consumed == all.size()) break;
            }
            const void* found = std::memchr(base + consumed, sep, all.size() - consumed);
            if (found == nullptr) break;
            const size_t end = static_cast<size_t>(static_cast<const uint8_t*>(found) - base) + 1;
            EngineStatus one = add_line_record(core, all.subspan(consumed, end - consumed - 1), key,
                                             reverse != 0, may_hold_zero, poll);
            if (!one) return Unexpected(std::move(one).error());
            consumed = end;
            if (round_is_over(++count)) return RoundEnd::CheckSignals;
        }
        return RoundEnd::Done;
    });
    if (added < 0) return nullptr;
    return PyLong_FromSize_t(consumed);
}

}  // namespace

PyObject* sorter_add_lines(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return call_guarded([&] { return add_lines(as_sorter(self), args, nargs, kwnames); });
}

}  // namespace tessarune::python
