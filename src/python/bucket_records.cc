// The shard phase of the cluster sort: records keyed natively and cut into key ranges, each
// range's records framed in bucket blocks.
//
// _bucket_records(buffer, plan, boundaries, at_end, acceleration) -> (consumed, lines, error, blocks)
//     Keys the complete records of a buffer as the plan says (the plans of _add_keyed, or
//     ("python", keyer): every line keyed by keyer(line without its newline), which returns key
//     bytes, None for a line that holds no record, or a str that refuses the line), puts each
//     record in the range of its key bytes (the first boundary not below them, or the last
//     range) and returns the ranges' records as bucket blocks: one bytes object per range,
//     empty for a range that got nothing. consumed, lines and error are _add_keyed's.
// _Bucketer(plan, boundaries, acceleration, paths)
//     The same for a whole file, buffer after buffer: add(buffer, at_end) -> (consumed, lines,
//     error) writes each block to its range's file as soon as it is sealed, and finish() ->
//     [bytes written per range] writes the rest and closes the files. Its buffers live as long
//     as it does, so a shard is bucketed without fresh memory per buffer (a Dask worker's
//     allocator hands every large block back to the system when it is freed, and takes it
//     again page by page).
#include "python/bucket_records.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "key/key_compare.h"
#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/keyed_plan.h"
#include "run/bucket_block.h"
#include "run/file_ops.h"

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

// The ranges' blocks, kept for the caller, or with `paths`, written to a file per range (made
// when its first block is).
class Buckets {
public:
    Buckets(std::vector<std::string> boundaries, int acceleration, std::vector<std::string> paths = {})
        : boundaries_(std::move(boundaries)),
          writers_(boundaries_.size() + 1),
          blocks_(boundaries_.size() + 1),
          acceleration_(acceleration),
          paths_(std::move(paths)),
          files_(paths_.empty() ? 0 : blocks_.size()),
          written_(blocks_.size()) {}

    size_t ranges() const { return blocks_.size(); }

    // False when writing a block failed (see error()).
    bool put(Bytes key, Bytes payload) {
        // A key equal to a boundary belongs to the range below it.
        const auto found = std::lower_bound(
            boundaries_.begin(), boundaries_.end(), key, [](const std::string& boundary, Bytes k) {
                return compare_keys(Bytes(reinterpret_cast<const uint8_t*>(boundary.data()), boundary.size()),
                                    k) < 0;
            });
        const size_t range = static_cast<size_t>(found - boundaries_.begin());
        BucketBlockWriter& writer = writers_[range];
        writer.add(key, payload);
        return writer.raw_size() < kBucketBlockTarget || seal(range);
    }

    bool seal_all() {
        for (size_t i = 0; i < writers_.size(); ++i) {
            if (!seal(i)) return false;
        }
        return true;
    }

    // Closes the files, reporting what the system reports.
    bool close_files() {
        for (size_t i = 0; i < files_.size(); ++i) {
            if (!files_[i]) continue;
            IoStatus closed = files_[i]->close();
            files_[i].reset();
            if (!closed && !error_) error_ = closed.error().at_path(paths_[i]);
        }
        return !error_;
    }

    const std::optional<IoError>& error() const { return error_; }

    PyObject* blocks_list() const {
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

    PyObject* written_list() const {
        Ref list(PyList_New(static_cast<Py_ssize_t>(written_.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < written_.size(); ++i) {
            PyObject* n = PyLong_FromUnsignedLongLong(written_[i]);
            if (n == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), n);
        }
        return list.release();
    }

private:
    bool seal(size_t range) {
        writers_[range].seal(blocks_[range], acceleration_);
        if (paths_.empty() || blocks_[range].empty()) return true;
        if (!files_[range]) {
            auto made = FileOps::system()->create_new_file(paths_[range]);
            if (!made) {
                error_ = made.error().at_path(paths_[range]);
                return false;
            }
            files_[range] = std::move(*made);
        }
        const uint8_t* at = blocks_[range].data();
        size_t left = blocks_[range].size();
        while (left > 0) {
            auto wrote = files_[range]->write(at, left);
            if (!wrote) {
                if (wrote.error().kind() == IoErrorKind::Interrupted) continue;
                error_ = wrote.error().at_path(paths_[range]);
                return false;
            }
            at += *wrote;
            left -= *wrote;
        }
        written_[range] += blocks_[range].size();
        blocks_[range].clear();
        return true;
    }

    std::vector<std::string> boundaries_;
    std::vector<BucketBlockWriter> writers_;
    std::vector<ByteBuffer> blocks_;
    int acceleration_;
    std::vector<std::string> paths_;
    std::vector<std::unique_ptr<WritableFile>> files_;
    std::vector<uint64_t> written_;
    std::optional<IoError> error_;
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

// Where one buffer's bucketing stopped.
struct Progress {
    size_t consumed = 0;
    size_t lines = 0;
    Ref error;  // the refusal of the record it stopped before
};

// Keys and places the complete records of `all`: 0, or -1 with an exception set.
int bucket_buffer(const KeyedPlan& plan, Bytes all, bool at_end, Buckets& buckets, ByteBuffer& key,
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
            raise_core_error(CoreError(*buckets.error()));
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
        const int keyed = key_declined(plan.fallback, stopped_at.payload, key, progress.error);
        if (keyed < 0) return -1;
        if (keyed == 1) return 0;
        if (keyed == 0) {
            if (plan.reverse) complement(key.data(), key.size());
            placed = buckets.put(key.span(), stopped_at.payload);
        }
        consumed += stopped_at.length;
        lines += stopped_at.lines;
        if (!placed) {
            raise_core_error(CoreError(*buckets.error()));
            return -1;
        }
    }
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
    int acceleration = 0;
    if (read_bool(bound[3], &at_end) < 0 || read_acceleration(bound[4], &acceleration) < 0) return nullptr;
    BufferView view;
    if (view.get(bound[0]) < 0) return nullptr;

    ByteBuffer key(kKeyBufferCapacity);
    Buckets buckets(std::move(boundaries), acceleration);
    Progress progress;
    if (bucket_buffer(plan, view.bytes(), at_end, buckets, key, progress) < 0) return nullptr;
    {
        Detached detached;
        buckets.seal_all();  // keeps the blocks: cannot fail
    }
    Ref blocks(buckets.blocks_list());
    if (!blocks) return nullptr;
    return Py_BuildValue("(nnOO)", static_cast<Py_ssize_t>(progress.consumed),
                         static_cast<Py_ssize_t>(progress.lines),
                         progress.error ? progress.error.get() : Py_None, blocks.get());
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

// _Bucketer: one shard's buckets, written to their files.

struct BucketerState {
    BucketerState(KeyedPlan p, Buckets b) : plan(std::move(p)), buckets(std::move(b)) {}
    KeyedPlan plan;
    Buckets buckets;
    ByteBuffer key{kKeyBufferCapacity};
    bool finished = false;
    std::atomic<bool> busy{false};  // a call is running: another thread's call is refused
};

struct BucketerObject {
    PyObject_HEAD
    PyObject* plan_tuple;                  // holds the fallback that the plan borrows
    std::unique_ptr<BucketerState> state;  // constructed in place by tp_new
};

// Marks the bucketer busy for a call, or refuses the call.
class BusyGuard {
public:
    explicit BusyGuard(BucketerState& state) : state_(state) {
        bool idle = false;
        held_ = state_.busy.compare_exchange_strong(idle, true);
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "the bucketer is in use by another thread");
    }
    ~BusyGuard() {
        if (held_) state_.busy.store(false);
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    bool held() const { return held_; }

private:
    BucketerState& state_;
    bool held_ = false;
};

int read_paths_list(PyObject* obj, std::vector<std::string>* out) {
    Ref seq(PySequence_Fast(obj, "the paths must be a sequence"));
    if (!seq) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* converted = nullptr;
        if (!PyUnicode_FSConverter(PySequence_Fast_GET_ITEM(seq.get(), i), &converted)) return -1;
        Ref path(converted);
        out->emplace_back(PyBytes_AS_STRING(path.get()), static_cast<size_t>(PyBytes_GET_SIZE(path.get())));
    }
    return 0;
}

PyObject* bucketer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guarded([&]() -> PyObject* {
        PyObject *plan_tuple = nullptr, *boundaries_obj = nullptr, *acceleration_obj = nullptr,
                 *paths_obj = nullptr;
        if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
            !PyArg_UnpackTuple(args, "_Bucketer", 4, 4, &plan_tuple, &boundaries_obj, &acceleration_obj,
                               &paths_obj)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "_Bucketer() takes positional arguments only");
            return nullptr;
        }
        KeyedPlan plan;
        if (read_plan_or_python(plan_tuple, &plan) < 0) return nullptr;
        std::vector<std::string> boundaries;
        std::vector<std::string> paths;
        int acceleration = 0;
        if (read_boundaries(boundaries_obj, &boundaries) < 0 || read_acceleration(acceleration_obj, &acceleration) < 0 ||
            read_paths_list(paths_obj, &paths) < 0) {
            return nullptr;
        }
        if (paths.size() != boundaries.size() + 1) {
            PyErr_SetString(PyExc_ValueError, "one path per range: one more than the boundaries");
            return nullptr;
        }
        auto state = std::make_unique<BucketerState>(
            std::move(plan), Buckets(std::move(boundaries), acceleration, std::move(paths)));
        Ref self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<BucketerObject*>(self.get());
        obj->plan_tuple = Py_NewRef(plan_tuple);
        new (&obj->state) std::unique_ptr<BucketerState>(std::move(state));
        return self.release();
    });
}

int bucketer_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<BucketerObject*>(self)->plan_tuple);
    return 0;
}

void bucketer_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* obj = reinterpret_cast<BucketerObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    {
        // Closing files that were never finished may wait on the file system.
        Detached detached;
        obj->state.~unique_ptr();
    }
    Py_CLEAR(obj->plan_tuple);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* bucketer_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"buffer", "at_end"};
    static constexpr ArgSpec kSpec{"_Bucketer.add()", kNames, 2, 2, 2};
    return call_guarded([&]() -> PyObject* {
        PyObject* bound[2];
        if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
        BucketerState& state = *reinterpret_cast<BucketerObject*>(self)->state;
        BusyGuard busy(state);
        if (!busy.held()) return nullptr;
        if (state.finished) {
            PyErr_SetString(PyExc_ValueError, "the bucketer is finished");
            return nullptr;
        }
        bool at_end = false;
        if (read_bool(bound[1], &at_end) < 0) return nullptr;
        BufferView view;
        if (view.get(bound[0]) < 0) return nullptr;
        Progress progress;
        if (bucket_buffer(state.plan, view.bytes(), at_end, state.buckets, state.key, progress) < 0) return nullptr;
        return Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(progress.consumed),
                             static_cast<Py_ssize_t>(progress.lines),
                             progress.error ? progress.error.get() : Py_None);
    });
}

PyObject* bucketer_finish(PyObject* self, PyObject*) {
    return call_guarded([&]() -> PyObject* {
        BucketerState& state = *reinterpret_cast<BucketerObject*>(self)->state;
        BusyGuard busy(state);
        if (!busy.held()) return nullptr;
        if (state.finished) {
            PyErr_SetString(PyExc_ValueError, "the bucketer is finished");
            return nullptr;
        }
        state.finished = true;
        bool ok = false;
        {
            Detached detached;
            ok = state.buckets.seal_all();
            ok = state.buckets.close_files() && ok;
        }
        if (!ok) return raise_core_error(CoreError(*state.buckets.error()));
        return state.buckets.written_list();
    });
}

constexpr const char kBucketerDoc[] =
    "_Bucketer(plan, boundaries, acceleration, paths, /)\n"
    "--\n"
    "\n"
    "The records of one file, buffer after buffer, keyed as the plan says and cut into the\n"
    "ranges of the boundaries as _bucket_records does, each range's blocks written to its path\n"
    "(made when the range gets its first block; it must not exist).";

constexpr const char kBucketerAddDoc[] =
    "add($self, buffer, at_end, /)\n"
    "--\n"
    "\n"
    "Bucket the complete records of a buffer, writing the blocks that fill up; return\n"
    "(bytes taken, lines taken, None or the message of the bad record the reading stopped\n"
    "before).";

constexpr const char kBucketerFinishDoc[] =
    "finish($self, /)\n"
    "--\n"
    "\n"
    "Write what is left, close the files and return the bytes written to each range.";

PyMethodDef kBucketerMethods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bucketer_add)), METH_FASTCALL | METH_KEYWORDS,
     kBucketerAddDoc},
    {"finish", bucketer_finish, METH_NOARGS, kBucketerFinishDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBucketerSlots[] = {
    {Py_tp_doc, const_cast<char*>(kBucketerDoc)},
    {Py_tp_new, reinterpret_cast<void*>(bucketer_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(bucketer_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bucketer_dealloc)},
    {Py_tp_methods, kBucketerMethods},
    {0, nullptr},
};

PyType_Spec kBucketerSpec = {
    "_tessarune._Bucketer",
    sizeof(BucketerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kBucketerSlots,
};

}  // namespace

int add_bucket_records_function(PyObject* module) {
    if (PyModule_AddFunctions(module, kFunctions) < 0) return -1;
    Ref type(PyType_FromSpec(&kBucketerSpec));
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "_Bucketer", type.get());
}

}  // namespace tessarune::python
