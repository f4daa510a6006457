#include "python/range_buckets.h"

#include <cstring>

#include "python/core_lock.h"

namespace tessarune::python {
namespace {

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

}  // namespace

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

int read_acceleration(PyObject* obj, int* out) {
    const long acceleration = PyLong_AsLong(obj);
    if (acceleration == -1 && PyErr_Occurred()) return -1;
    if (acceleration < 0 || acceleration > 65537) {
        PyErr_SetString(PyExc_ValueError, "the acceleration must be 0 (store) to 65537");
        return -1;
    }
    *out = static_cast<int>(acceleration);
    return 0;
}

int bucket_buffer(const KeyedPlan& plan, Bytes all, bool at_end, RangeBuckets& buckets, ByteBuffer& key,
                  Progress& progress) {
    size_t& consumed = progress.consumed;
    size_t& lines = progress.lines;
    bool placed = true;
    for (;;) {
        format::KeyedRecord stopped_at;  // a Declined or Bad record, handled attached
        {
            // The loop touches only the exported bytes and the buckets' own buffers and files.
            Detached detached;
            while (consumed < all.size()) {
                key.clear();
                format::KeyedRecord r = plan.keyer->next(all.subspan(consumed), at_end, key);
                if (r.step == format::RecordStep::NeedMore) break;
                if (r.step == format::RecordStep::Record) {
                    if (plan.reverse) complement(key.data(), key.size());
                    placed = buckets.put(key.span(), r.payload);
                } else if (r.step != format::RecordStep::Skipped) {
                    stopped_at = std::move(r);
                    break;
                }
                consumed += r.length;
                lines += r.lines;
                if (!placed) break;
            }
        }
        if (!placed) {
            raise_engine_error(*buckets.error());
            return -1;
        }
        if (stopped_at.step == format::RecordStep::Bad) {
            progress.error.reset(PyUnicode_DecodeUTF8(stopped_at.error.data(),
                                                      static_cast<Py_ssize_t>(stopped_at.error.size()), "replace"));
            if (!progress.error) return -1;
            lines += stopped_at.lines;
            return 0;
        }
        if (stopped_at.step != format::RecordStep::Declined) return 0;
        if (plan.fallback == nullptr) {
            raise_internal_error("a keyer declined a record with no fallback");
            return -1;
        }
        // The cluster's Python keyers take a line without its newline.
        Bytes line = stopped_at.payload;
        if (!line.empty() && line.back() == '\n') line = line.first(line.size() - 1);
        const int keyed = key_by_python(plan.fallback, line, key, progress.error);
        if (keyed < 0) return -1;
        if (keyed == 1) return 0;
        if (keyed == 0) {
            if (plan.reverse) complement(key.data(), key.size());
            placed = buckets.put(key.span(), stopped_at.payload);
        }
        consumed += stopped_at.length;
        lines += stopped_at.lines;
        if (!placed) {
            raise_engine_error(*buckets.error());
            return -1;
        }
    }
}

}  // namespace tessarune::python
