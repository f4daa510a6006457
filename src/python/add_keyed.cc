// Sorter._add_keyed(buffer, plan, at_end): adds the records of a buffer of lines, JSON Lines
// or CSV with keys extracted natively, without a Python call per record.
//
// The plan names the format and its key:
//   ("lines", fields, tab, zero_terminated, reverse[, random_seed])
//                                                      fields: 5-tuples of the line key plan
//   ("jsonl", paths, reverse, fallback)                paths: lists of field names
//   ("csv", delimiter, columns, names, numeric, reverse)
// A JSON line that the native reading declines is keyed by calling fallback(line), the line
// with its newline, which returns the key bytes, or a str that says why the line is refused. The answer is
// (consumed, lines, error): the bytes and physical lines taken, and None, or the message of
// the bad record that the adding stopped before (its line is lines + 1 of the buffer).
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format/record_keyers.h"
#include "python/adding_rounds.h"
#include "python/arg_binding.h"
#include "python/buffer_view.h"
#include "python/core_lock.h"
#include "python/csv_plan.h"
#include "python/errors.h"
#include "python/key_walk.h"
#include "python/keyed_plan.h"
#include "python/line_key_plan.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {


}  // namespace

int read_bool(PyObject* obj, bool* out) {
    const int v = PyObject_IsTrue(obj);
    if (v < 0) return -1;
    *out = v != 0;
    return 0;
}

namespace {

// A list of lists of str: the dotted paths, already split.
int read_paths(PyObject* obj, std::vector<std::vector<std::string>>* out) {
    Ref outer(PySequence_Fast(obj, "the paths must be a sequence"));
    if (!outer) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(outer.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref inner(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.get(), i),
                                  "a path must be a sequence of names"));
        if (!inner) return -1;
        std::vector<std::string> path;
        const Py_ssize_t m = PySequence_Fast_GET_SIZE(inner.get());
        for (Py_ssize_t j = 0; j < m; ++j) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(inner.get(), j), &size);
            if (text == nullptr) return -1;
            path.emplace_back(text, static_cast<size_t>(size));
        }
        out->push_back(std::move(path));
    }
    return 0;
}

}  // namespace

int read_plan(PyObject* plan, KeyedPlan* out) {
    if (!PyTuple_Check(plan) || PyTuple_GET_SIZE(plan) < 1 || !PyUnicode_Check(PyTuple_GET_ITEM(plan, 0))) {
        PyErr_SetString(PyExc_TypeError, "a key plan is a tuple that starts with its format");
        return -1;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(plan);
    auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(plan, i); };
    auto is = [&](const char* kind, Py_ssize_t n) {
        return PyUnicode_CompareWithASCIIString(item(0), kind) == 0 && size == n;
    };
    if (is("lines", 5) || is("lines", 6)) {
        format::LineKeyPlan lines;
        bool zero = false;
        if (read_bool(item(3), &zero) < 0 || read_bool(item(4), &out->reverse) < 0) return -1;
        PyObject* seed = size == 6 ? item(5) : nullptr;
        if (line_key_plan_from_python(item(1), item(2), zero ? 1 : 0, seed, &lines) < 0) return -1;
        out->keyer = format::make_line_keyer(std::move(lines), zero ? 0 : '\n');
        return 0;
    }
    if (is("csv", 6)) return read_csv_plan(plan, &out->keyer, &out->reverse);
    if (is("jsonl", 4)) {
        std::vector<std::vector<std::string>> paths;
        if (read_paths(item(1), &paths) < 0 || read_bool(item(2), &out->reverse) < 0) return -1;
        if (!PyCallable_Check(item(3))) {
            PyErr_SetString(PyExc_TypeError, "the fallback must be callable");
            return -1;
        }
        out->fallback = item(3);
        out->keyer = format::make_json_keyer(format::text_keys_of_paths(std::move(paths)), true);
        return 0;
    }
    PyErr_SetString(PyExc_ValueError, "unknown key plan");
    return -1;
}

void complement(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

int key_by_python(PyObject* keyer, Bytes record, ByteBuffer& key, Ref& error) {
    Ref arg(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(record.data()),
                                      static_cast<Py_ssize_t>(record.size())));
    if (!arg) return -1;
    Ref answer(PyObject_CallOneArg(keyer, arg.get()));
    if (!answer) return -1;
    if (answer.get() == Py_None) return 2;
    if (PyUnicode_Check(answer.get())) {
        error = std::move(answer);
        return 1;
    }
    if (!PyBytes_Check(answer.get())) {
        PyErr_SetString(PyExc_TypeError, "a Python keyer must return bytes, None or str");
        return -1;
    }
    key.clear();
    key.append(Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(answer.get())),
                     static_cast<size_t>(PyBytes_GET_SIZE(answer.get()))));
    return 0;
}

namespace {

PyObject* answer(size_t consumed, size_t lines, PyObject* error) {
    return Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(consumed), static_cast<Py_ssize_t>(lines),
                         error == nullptr ? Py_None : error);
}

PyObject* add_keyed(SorterObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"buffer", "plan", "at_end"};
    static constexpr ArgSpec kSpec{"Sorter._add_keyed()", kNames, 3, 3, 3};
    PyObject* bound[3];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    KeyedPlan plan;
    if (read_plan(bound[1], &plan) < 0) return nullptr;
    bool at_end = false;
    if (read_bool(bound[2], &at_end) < 0) return nullptr;
    BufferView view;
    if (view.get(bound[0]) < 0) return nullptr;
    if (check_can_add_made_keys(self) < 0) return nullptr;

    const Bytes all = view.bytes();
    ByteBuffer key(kKeyBufferCapacity);
    SorterCore& core = *self->core;
    size_t consumed = 0;
    size_t lines = 0;
    // A record keyed but not yet added, its key in `key`: a wait for a spill that gave way to
    // signal handlers leaves it here, and the next round adds it without reading it again.
    std::optional<format::KeyedRecord> pending;
    for (;;) {
        format::KeyedRecord stopped_at;  // a Declined or Bad record, handled attached
        // Detached for the whole buffer: the rounds touch only the exported bytes.
        const int added = add_in_rounds(self, [&](Poll& poll, uint64_t& count) -> RoundResult {
            while (consumed < all.size()) {
                if (!pending) {
                    key.clear();
                    format::KeyedRecord r = plan.keyer->next(all.subspan(consumed), at_end, key);
                    if (r.step == format::RecordStep::NeedMore) break;
                    if (r.step == format::RecordStep::Skipped) {
                        consumed += r.length;
                        lines += r.lines;
                        continue;
                    }
                    if (r.step != format::RecordStep::Record) {
                        stopped_at = std::move(r);
                        break;
                    }
                    if (plan.reverse) complement(key.data(), key.size());
                    pending = std::move(r);
                }
                EngineStatus one = core.add([&](Filling& f) { return f.add(key.span(), pending->payload, poll); });
                if (!one) return Unexpected(std::move(one).error());
                consumed += pending->length;
                lines += pending->lines;
                pending.reset();
                if (round_is_over(++count)) return RoundEnd::CheckSignals;
            }
            return RoundEnd::Done;
        });
        if (added < 0) return nullptr;
        if (stopped_at.step == format::RecordStep::Bad) {
            Ref message(PyUnicode_DecodeUTF8(stopped_at.error.data(),
                                             static_cast<Py_ssize_t>(stopped_at.error.size()), "replace"));
            if (!message) return nullptr;
            return answer(consumed, lines + stopped_at.lines, message.get());
        }
        if (stopped_at.step != format::RecordStep::Declined) break;
        if (plan.fallback == nullptr) return raise_internal_error("a keyer declined a record with no fallback");
        Ref refusal;
        // The whole line, its newline too, as Python's json reads it (its messages count it).
        const int keyed = key_by_python(plan.fallback, stopped_at.payload, key, refusal);
        if (keyed < 0) return nullptr;
        if (keyed == 2) return raise_internal_error("the JSON fallback found no record in a line");
        if (keyed == 1) return answer(consumed, lines, refusal.get());
        if (plan.reverse) complement(key.data(), key.size());
        if (add_one_record(self, key.span(), stopped_at.payload) < 0) return nullptr;
        consumed += stopped_at.length;
        lines += stopped_at.lines;
    }
    return answer(consumed, lines, nullptr);
}

}  // namespace

PyObject* sorter_add_keyed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] {
        return add_keyed(reinterpret_cast<SorterObject*>(self), args, nargs, kwnames);
    });
}

}  // namespace tessarune::python
