// Sorter.stats(): the engine's counters as a named tuple of the type _SorterStats.
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/sorter_docs.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {

PyStructSequence_Field kFields[] = {
    {"items", "items added"},
    {"bytes_in", "key and encoded bytes of the items added"},
    {"runs_spilled", "runs written by spills"},
    {"merge_passes", "merge passes run before the final merge"},
    {"bytes_spilled", "bytes of the records written to runs, by spills and merge passes"},
    {"bytes_spilled_compressed", "bytes written to run files, compressed"},
    {"peak_memory", "most memory held for items at once, counted as max_bytes counts it"},
    {"fill_seconds", "from the sorter's making to the start of its read"},
    {"spill_wait_seconds", "time spent waiting for a spill to finish"},
    {"spill_seconds", "time the spill threads spent sorting and writing runs"},
    {"merge_pass_seconds", "time of the merge passes"},
    {"last_sort_seconds", "time of sorting the items held in memory at the read"},
    {"read_seconds", "from the start of the read to its end, or to now"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kDesc = {
    "tessarune._SorterStats",
    kStatsTypeDoc,
    kFields,
    13,
};

PyObject* seconds(uint64_t ns) { return PyFloat_FromDouble(static_cast<double>(ns) / 1e9); }

}  // namespace

PyObject* make_stats_type() { return reinterpret_cast<PyObject*>(PyStructSequence_NewType(&kDesc)); }

PyObject* stats_tuple(PyObject* stats_type, const StatsSnapshot& s) {
    auto* type = reinterpret_cast<PyTypeObject*>(stats_type);
    PyObject* values[] = {
        PyLong_FromUnsignedLongLong(s.items),
        PyLong_FromUnsignedLongLong(s.bytes_in),
        PyLong_FromUnsignedLongLong(s.runs_spilled),
        PyLong_FromUnsignedLongLong(s.merge_passes),
        PyLong_FromUnsignedLongLong(s.bytes_spilled),
        PyLong_FromUnsignedLongLong(s.bytes_spilled_compressed),
        PyLong_FromUnsignedLongLong(s.peak_memory),
        seconds(s.fill_ns),
        seconds(s.spill_wait_ns),
        seconds(s.spill_ns),
        seconds(s.merge_pass_ns),
        seconds(s.last_sort_ns),
        seconds(s.read_ns),
    };
    constexpr Py_ssize_t n = sizeof(values) / sizeof(values[0]);
    static_assert(n == sizeof(kFields) / sizeof(kFields[0]) - 1);
    Ref result(PyStructSequence_New(type));
    bool ok = static_cast<bool>(result);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (values[i] == nullptr) ok = false;
        if (ok) {
            PyStructSequence_SetItem(result.get(), i, values[i]);  // steals
        } else {
            Py_XDECREF(values[i]);
        }
    }
    return ok ? result.release() : nullptr;
}

PyObject* sorter_stats(PyObject* self, PyObject*) {
    return stats_tuple(module_types_of(Py_TYPE(self)).stats,
                       reinterpret_cast<SorterObject*>(self)->core->stats().snapshot());
}

}  // namespace tessarune::python
