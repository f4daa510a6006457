// The instance records of Sorter and _SortedIterator, and the functions that the files of
// the Python interface share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "sorter/sorter_core.h"

namespace tessarune::python {

enum class CodecKind : uint8_t { PickleCodec, UserCodec };

struct SorterObject {
    PyObject_HEAD
    CodecKind codec_kind;
    PyObject* encode_fn;                // pickle.dumps, or the codec's bound encode
    std::shared_ptr<SorterCore> core;   // constructed in place by tp_new
    PyObject* decode_fn;                // pickle.loads, or the codec's bound decode
    std::atomic<int64_t> item_count;    // changed only with the engine's lock held
    PyObject* key_fn;                   // nullptr when there is no key function
    StatusByte status;
    bool reverse;                       // keys are made for descending order (reverse_key)
    // The datetimes the keys held so far (kSeenNaiveDatetime, kSeenAwareDatetime): set by the
    // first key that held one, so that a key of the other kind is refused.
    std::atomic<uint8_t> datetimes_seen;
};

struct IteratorObject {
    PyObject_HEAD
    std::shared_ptr<SorterCore> core;   // constructed in place
    PyObject* decode_fn;                // nullptr for encoded()
    // The thread whose next() raised the error that stopped the read: it sees the end
    // afterwards, as a generator's caller does; every other thread gets an error, so that
    // none of them takes the stop for the end of the data.
    std::atomic<std::thread::id> stopped_by;
};

// The module's types, made when the module is executed and held in its state, so that each
// module object (each interpreter) has its own.
inline constexpr size_t kEngineOsErrorClasses = 8;
struct ModuleTypes {
    PyObject* sorter;          // Sorter
    PyObject* iterator;        // _SortedIterator
    PyObject* stats;           // _SorterStats
    PyObject* bucketer;        // _Bucketer
    PyObject* internal_error;  // tessarune.InternalError
    PyObject* input_error;     // tessarune.InputError
    // The engine's subclass of each OSError class its errors map to, in the order of
    // engine_os_error_bases() (errors.cc): they carry errno and filename but print the message.
    std::array<PyObject*, kEngineOsErrorClasses> os_errors;
};
// The types of the module that made `type`, one of its types. Never fails.
ModuleTypes& module_types_of(PyTypeObject* type);
// Each type made for `module`: a new reference, or nullptr with an exception set.
PyObject* make_sorter_type(PyObject* module);
PyObject* make_iterator_type(PyObject* module);
PyObject* make_stats_type();
// The error classes of the module (errors.cc): 0, or -1 with an exception set.
int make_error_classes(ModuleTypes& types);
// The state of this interpreter's _tessarune, imported if need be, for code with no object
// of the module at hand; *holder gets a reference that keeps it alive. nullptr (no exception
// set) when it cannot be had.
ModuleTypes* imported_module_types(PyObject** holder);

// Adding (adding.cc).
PyObject* sorter_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sorter_add_encoded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// The early check shared by every way of adding: 0, or -1 with the refusal raised.
int check_can_add(SorterObject* self);
// check_can_add for the private adders that take key bytes made elsewhere (lines, framed
// records, bucket files): those keys ascend, so a reversed sorter refuses them rather than
// ordering them the wrong way. 0, or -1 with an exception set.
int check_can_add_made_keys(SorterObject* self);
// Adds one record with its key already encoded, waiting for a spill when the half is full
// (signals checked with the mutex free); counts the item. -1 with an exception set.
int add_one_record(SorterObject* self, Bytes key, Bytes payload);
// The command line's private way of adding lines that are their own keys (add_lines.cc).
PyObject* sorter_add_lines(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
// Records of lines, JSON Lines or CSV with natively extracted keys (add_keyed.cc).
PyObject* sorter_add_keyed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
// Records of bucket blocks, with the key bytes they carry (add_framed.cc).
PyObject* sorter_add_framed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
// Sorter.stats() (stats.cc).
PyObject* sorter_stats(PyObject* self, PyObject* unused);
// The counters as a _SorterStats (the module's `stats` type): a new reference, or nullptr.
PyObject* stats_tuple(PyObject* stats_type, const StatsSnapshot& snapshot);
// The adding half of sort(items): 0 when every item was added (or items is None), -1 with
// an exception set otherwise.
int sorter_add_items(SorterObject* self, PyObject* items);

// Reading (reading.cc, write_to.cc).
PyObject* sorter_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* sorter_encoded(PyObject* self, PyObject* unused);
PyObject* sorter_write_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* sorter_write_lines(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* sorter_close(PyObject* self, PyObject* unused);

// Releases one reference to a core with the interpreter released, since the last one
// joins a spill and removes files. Used by both deallocators.
void release_core(std::shared_ptr<SorterCore>& core);

}  // namespace tessarune::python
