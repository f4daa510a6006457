// _bucket_records(buffer, plan, boundaries, at_end, acceleration) -> (consumed, lines, error, blocks)
//
// Keys the complete records of a buffer as the plan says (the plans of _add_keyed, or
// ("python", keyer): every line keyed by keyer(line without its newline), which returns key
// bytes, None for a line that holds no record, or a str that refuses the line), puts each
// record in the range of its key bytes (the first boundary not below them, or the last range)
// and returns the ranges' records as bucket blocks: one bytes object per range, empty for a
// range that got nothing. consumed, lines and error are _add_keyed's.
#include "python/bucket_records.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "key/key_compare.h"
#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/keyed_plan.h"
#include "run/bucket_block.h"

namespace tessarune::python {
namespace {

constexpr size_t kKeyBufferCapacity = 256;

// Lines that the native side only finds: each is Declined, for the Python keyer to key.
class PythonLineKeyer final : public format::RecordKeyer {
public:
    format::KeyedRecord next(Bytes input, bool at_end, ByteBuffer&) override {
        format::KeyedRecord r;
        const void* nl = std::memchr(input.data(), '\n', input.size());
        size_t length = 0;
        if (nl != nullptr) {
            length = static_cast<size_t>(static_cast<const uint8_t*>(nl) - input.data()) + 1;
        } else if (at_end && !input.empty()) {
            length = input.size();
        } else {
            return r;  // NeedMore
        }
        r.step = format::RecordStep::Declined;
        r.length = length;
        r.lines = 1;
        r.payload = input.first(length);
        return r;
    }
};

int read_plan_or_python(PyObject* plan, KeyedPlan* out) {
    if (PyTuple_Check(plan) && PyTuple_GET_SIZE(plan) == 2 && PyUnicode_Check(PyTuple_GET_ITEM(plan, 0)) &&
        PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(plan, 0), "python") == 0) {
        if (!PyCallable_Check(PyTuple_GET_ITEM(plan, 1))) {
            PyErr_SetString(PyExc_TypeError, "the keyer must be callable");
            return -1;
        }
        out->fallback = PyTuple_GET_ITEM(plan, 1);
        out->keyer = std::make_unique<PythonLineKeyer>();
        return 0;
    }
    return read_plan(plan, out);
}

// The boundaries' bytes, copied: the list may change under another thread once detached.
int read_boundaries(PyObject* obj, std::vector<std::string>* out) {
    Ref seq(PySequence_Fast(obj, "the boundaries must be a sequence of bytes"));
    if (!seq) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyBytes_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "a boundary must be bytes");
            return -1;
        }
        out->emplace_back(PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)));
    }
    return 0;
}

class Buckets {
public:
    Buckets(std::vector<std::string> boundaries, int acceleration)
        : boundaries_(std::move(boundaries)),
          writers_(boundaries_.size() + 1),
          blocks_(boundaries_.size() + 1),
          acceleration_(acceleration) {}

    void put(Bytes key, Bytes payload) {
        // A key equal to a boundary belongs to the range below it.
        const auto found = std::lower_bound(
            boundaries_.begin(), boundaries_.end(), key, [](const std::string& boundary, Bytes k) {
                return compare_keys(Bytes(reinterpret_cast<const uint8_t*>(boundary.data()), boundary.size()),
                                    k) < 0;
            });
        const size_t range = static_cast<size_t>(found - boundaries_.begin());
        BucketBlockWriter& writer = writers_[range];
        writer.add(key, payload);
        if (writer.raw_size() >= kBucketBlockTarget) writer.seal(blocks_[range], acceleration_);
    }

    void seal_all() {
        for (size_t i = 0; i < writers_.size(); ++i) writers_[i].seal(blocks_[i], acceleration_);
    }

    PyObject* to_list() const {
        Ref list(PyList_New(static_cast<Py_ssize_t>(blocks_.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < blocks_.size(); ++i) {
            PyObject* b = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blocks_[i].data()),
                                                    static_cast<Py_ssize_t>(blocks_[i].size()));
            if (b == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), b);
        }
        return list.release();
    }

private:
    std::vector<std::string> boundaries_;
    std::vector<BucketBlockWriter> writers_;
    std::vector<ByteBuffer> blocks_;
    int acceleration_;
};

// Calls the Python keyer on a declined line: 0 with the key in `key`, 1 with the refusal's
// message in `error`, 2 when the line holds no record, -1 with an exception set.
int key_declined(PyObject* keyer, Bytes line, ByteBuffer& key, Ref& error) {
    if (!line.empty() && line.back() == '\n') line = line.first(line.size() - 1);
    Ref arg(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(line.data()),
                                      static_cast<Py_ssize_t>(line.size())));
    if (!arg) return -1;
    Ref answer(PyObject_CallOneArg(keyer, arg.get()));
    if (!answer) return -1;
    if (answer.get() == Py_None) return 2;
    if (PyUnicode_Check(answer.get())) {
        error = std::move(answer);
        return 1;
    }
    if (!PyBytes_Check(answer.get())) {
        PyErr_SetString(PyExc_TypeError, "the keyer must return bytes, None or str");
        return -1;
    }
    key.clear();
    key.append(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(answer.get())),
               static_cast<size_t>(PyBytes_GET_SIZE(answer.get())));
    return 0;
}

PyObject* bucket_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"buffer", "plan", "boundaries", "at_end", "acceleration"};
    static constexpr ArgSpec kSpec{"_bucket_records()", kNames, 5, 5, 5};
    PyObject* bound[5];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    KeyedPlan plan;
    if (read_plan_or_python(bound[1], &plan) < 0) return nullptr;
    std::vector<std::string> boundaries;
    if (read_boundaries(bound[2], &boundaries) < 0) return nullptr;
    bool at_end = false;
    if (read_bool(bound[3], &at_end) < 0) return nullptr;
    const long acceleration = PyLong_AsLong(bound[4]);
    if (acceleration == -1 && PyErr_Occurred()) return nullptr;
    if (acceleration < 0 || acceleration > 65537) {
        PyErr_SetString(PyExc_ValueError, "the acceleration must be 0 (store) to 65537");
        return nullptr;
    }
    BufferView view;
    if (view.get(bound[0]) < 0) return nullptr;

    const Bytes all = view.bytes();
    ByteBuffer key(kKeyBufferCapacity);
    Buckets buckets(std::move(boundaries), static_cast<int>(acceleration));
    size_t consumed = 0;
    size_t lines = 0;
    Ref error;
    for (;;) {
        format::KeyedRecord stopped_at;  // a Declined or Bad record, handled attached
        {
            // The loop touches only the exported bytes and this call's own buffers.
            Detached detached;
            while (consumed < all.size()) {
                key.clear();
                format::KeyedRecord r = plan.keyer->next(all.subspan(consumed), at_end, key);
                if (r.step == format::RecordStep::NeedMore) break;
                if (r.step == format::RecordStep::Record) {
                    if (plan.reverse) complement(key.data(), key.size());
                    buckets.put(key.span(), r.payload);
                } else if (r.step != format::RecordStep::Skipped) {
                    stopped_at = std::move(r);
                    break;
                }
                consumed += r.length;
                lines += r.lines;
            }
        }
        if (stopped_at.step == format::RecordStep::Bad) {
            error.reset(PyUnicode_DecodeUTF8(stopped_at.error.data(),
                                             static_cast<Py_ssize_t>(stopped_at.error.size()), "replace"));
            if (!error) return nullptr;
            lines += stopped_at.lines;
            break;
        }
        if (stopped_at.step != format::RecordStep::Declined) break;
        if (plan.fallback == nullptr) return raise_internal_error("a keyer declined a record with no fallback");
        const int keyed = key_declined(plan.fallback, stopped_at.payload, key, error);
        if (keyed < 0) return nullptr;
        if (keyed == 1) break;
        if (keyed == 0) {
            if (plan.reverse) complement(key.data(), key.size());
            buckets.put(key.span(), stopped_at.payload);
        }
        consumed += stopped_at.length;
        lines += stopped_at.lines;
    }
    {
        Detached detached;
        buckets.seal_all();
    }
    Ref blocks(buckets.to_list());
    if (!blocks) return nullptr;
    return Py_BuildValue("(nnOO)", static_cast<Py_ssize_t>(consumed), static_cast<Py_ssize_t>(lines),
                         error ? error.get() : Py_None, blocks.get());
}

PyObject* bucket_records_guarded(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return bucket_records(module, args, nargs, kwnames); });
}

constexpr const char kBucketRecordsDoc[] =
    "_bucket_records(buffer, plan, boundaries, at_end, acceleration, /)\n"
    "--\n"
    "\n"
    "Key the complete records of a buffer as the plan says and cut them into the ranges that\n"
    "the sorted key bytes of boundaries end (a key equal to a boundary in the range it ends).\n"
    "Return (bytes taken, lines taken, None or the message of the bad record the reading\n"
    "stopped before, one bytes object of bucket blocks per range). acceleration: LZ4's, where\n"
    "that makes a block smaller; 0 stores the blocks as they are.";

PyMethodDef kFunctions[] = {
    {"_bucket_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bucket_records_guarded)),
     METH_FASTCALL | METH_KEYWORDS, kBucketRecordsDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_bucket_records_function(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tessarune::python
