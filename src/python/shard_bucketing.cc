// The cluster sort's shards read and keyed by the job layer's RecordFeeder, as sort_files reads
// its inputs, so that the sample, the buckets and a local sort all key a record alike; and its
// bucket files made and read back through FileOps.
//
// _sample_keys(path, spec, lines) -> (header row or None, header cells or None, keys)
//     CSV: reads the shard's header row. Then keys each sampled line alone: its key bytes, or
//     None for a line that holds no record or cannot be keyed.
// _bucket_file(path, spec, header, boundaries, acceleration, paths, poll) -> [bytes per range]
//     Reads the whole shard and writes its records into the ranges' bucket files (see
//     RangeBuckets); a CSV shard must start with `header`. poll() runs every few MiB.
// _add_bucket_file(sorter, path, poll)
//     Adds every record of a bucket file to the sorter under the key bytes it carries.
//
// `spec` is a dict of sort_files' keyword arguments (format, key, numeric, reverse,
// field_separator, delimiter), read as sort_files reads them.
#include "python/shard_bucketing.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "job/compressed_input.h"
#include "job/input_files.h"
#include "job/record_reading.h"
#include "job/record_sink.h"
#include "python/adding_rounds.h"
#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/framed_blocks.h"
#include "python/job_session.h"
#include "python/range_buckets.h"
#include "python/sort_files.h"
#include "python/sorter_object.h"
#include "run/bucket_block.h"
#include "run/file_ops.h"

namespace tessarune::python {
namespace {

// Python's signal handlers and the caller's poll run after about this many bytes.
constexpr uint64_t kPollBytes = uint64_t{4} << 20;
constexpr size_t kBucketReadSize = size_t{4} << 20;

// A sampled line as a file of its own.
class BytesFile final : public ReadableFile {
public:
    explicit BytesFile(Bytes data) : data_(data) {}
    EngineResult<size_t> read(uint8_t* out, size_t n) override {
        n = std::min(n, data_.size() - at_);
        if (n != 0) std::memcpy(out, data_.data() + at_, n);
        at_ += n;
        return n;
    }

private:
    Bytes data_;
    size_t at_ = 0;
};

class KeyCollector final : public job::RecordSink {
public:
    EngineStatus add(Bytes key, Bytes /*payload*/) override {
        keys.emplace_back(reinterpret_cast<const char*>(key.data()), key.size());
        return {};
    }
    std::vector<std::string> keys;
};

// Runs signal handlers, then poll(): 0, or -1 with an exception set.
int run_poll(PyObject* poll) {
    if (PyErr_CheckSignals() < 0) return -1;
    if (poll == Py_None) return 0;
    Ref result(PyObject_CallNoArgs(poll));
    return result ? 0 : -1;
}

class BucketSink final : public job::RecordSink {
public:
    BucketSink(RangeBuckets& buckets, JobSession& session, PyObject* poll)
        : buckets_(buckets), session_(session), poll_(poll) {}
    EngineStatus add(Bytes key, Bytes payload) override {
        if (!buckets_.put(key, payload)) return Unexpected(*buckets_.error());
        unpolled_ += key.size() + payload.size();
        if (unpolled_ < kPollBytes) return {};
        unpolled_ = 0;
        if (!session_.call([&] { return run_poll(poll_); })) {
            return Unexpected(EngineError::of_kind(ErrorKind::GaveUp));
        }
        return {};
    }

private:
    RangeBuckets& buckets_;
    JobSession& session_;
    PyObject* poll_;
    uint64_t unpolled_ = 0;
};

std::optional<std::string> fs_path(PyObject* obj) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(obj, &converted)) return std::nullopt;
    Ref path(converted);
    return std::string(PyBytes_AS_STRING(converted), static_cast<size_t>(PyBytes_GET_SIZE(converted)));
}

// Header cells: str, their bytes as the shard holds them (undecodable ones escaped).
int read_cells(PyObject* obj, std::vector<std::string>& out) {
    Ref seq(PySequence_Fast(obj, "the header must be a sequence of str"));
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref cell(PyUnicode_AsEncodedString(PySequence_Fast_GET_ITEM(seq.get(), i), "utf-8", "surrogateescape"));
        if (!cell) return -1;
        out.emplace_back(PyBytes_AS_STRING(cell.get()), static_cast<size_t>(PyBytes_GET_SIZE(cell.get())));
    }
    return 0;
}

PyObject* cells_list(const std::vector<std::string>& cells) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(cells.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < cells.size(); ++i) {
        PyObject* cell = PyUnicode_DecodeUTF8(cells[i].data(), static_cast<Py_ssize_t>(cells[i].size()),
                                              "surrogateescape");
        if (cell == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), cell);
    }
    return list.release();
}

EngineResult<std::unique_ptr<ReadableFile>> open_file(const std::string& path) {
    auto file = FileOps::system()->open_input(path);
    if (!file) return Unexpected(file.error().at_path(path));
    return file;
}

// A shard, read as sort_files reads its inputs: decompressed when the spec says so.
EngineResult<std::unique_ptr<ReadableFile>> open_shard(const std::string& path, const job::JobSpec& spec) {
    std::unique_ptr<ReadableFile> file = TR_TRY(open_file(path));
    if (!job::decompresses_inputs(spec)) return file;
    EngineResult<std::unique_ptr<ReadableFile>> text = job::read_decompressed(std::move(file), path);
    if (!text) return Unexpected(text.error().at_path(path));
    return text;
}

PyObject* sample_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"path", "spec", "lines"};
    static constexpr ArgSpec kSpec{"_sample_keys()", kNames, 3, 3, 3};
    PyObject* bound[3];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    const std::optional<std::string> path = fs_path(bound[0]);
    if (!path) return nullptr;
    job::JobSpec spec;
    if (job_spec_from_keywords(bound[1], spec) < 0) return nullptr;
    Ref lines(PySequence_Fast(bound[2], "the lines must be a sequence of bytes"));
    if (!lines) return nullptr;

    KeyCollector sink;
    job::RecordFeeder feeder(spec, sink, nullptr);
    Ref header_row(Py_NewRef(Py_None));
    Ref header_cells(Py_NewRef(Py_None));
    if (spec.format == job::RecordFormat::Csv) {
        std::optional<EngineResult<bool>> found;
        {
            Detached detached;
            EngineResult<std::unique_ptr<ReadableFile>> file = open_shard(*path, spec);
            found.emplace(file ? feeder.read_header_of(*path, **file) : Unexpected(file.error()));
        }
        if (!*found) return raise_engine_error(found->error());
        if (!**found) return Py_BuildValue("(OO[])", Py_None, Py_None);
        const Bytes row = feeder.csv_header();
        header_row.reset(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(row.data()),
                                                   static_cast<Py_ssize_t>(row.size())));
        header_cells.reset(cells_list(feeder.csv_header_cells()));
        if (!header_row || !header_cells) return nullptr;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(lines.get());
    Ref keys(PyList_New(n));
    if (!keys) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* line = PySequence_Fast_GET_ITEM(lines.get(), i);
        if (!PyBytes_Check(line)) {
            PyErr_SetString(PyExc_TypeError, "a sampled line must be bytes");
            return nullptr;
        }
        BytesFile file(Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(line)),
                             static_cast<size_t>(PyBytes_GET_SIZE(line))));
        sink.keys.clear();
        // A line that cannot be keyed is left out: the bucket phase reports it with its line.
        const EngineStatus added = feeder.add_input(*path, file, false);
        if (!added && added.error().kind() != ErrorKind::BadInput) return raise_engine_error(added.error());
        PyObject* key = Py_None;
        if (added && sink.keys.size() == 1) {
            key = PyBytes_FromStringAndSize(sink.keys[0].data(), static_cast<Py_ssize_t>(sink.keys[0].size()));
            if (key == nullptr) return nullptr;
        } else {
            Py_INCREF(key);
        }
        PyList_SET_ITEM(keys.get(), i, key);
    }
    return Py_BuildValue("(OOO)", header_row.get(), header_cells.get(), keys.get());
}

int read_paths(PyObject* obj, std::vector<std::string>& out) {
    Ref seq(PySequence_Fast(obj, "the paths must be a sequence"));
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        std::optional<std::string> path = fs_path(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!path) return -1;
        out.push_back(std::move(*path));
    }
    return 0;
}

PyObject* bucket_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    enum { kPath, kJobSpec, kHeader, kBoundaries, kAcceleration, kPaths, kPoll, kCount };
    static constexpr const char* kNames[] = {"path", "spec", "header", "boundaries", "acceleration", "paths", "poll"};
    static constexpr ArgSpec kSpec{"_bucket_file()", kNames, kCount, kCount, kCount};
    PyObject* bound[kCount];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    const std::optional<std::string> path = fs_path(bound[kPath]);
    if (!path) return nullptr;
    job::JobSpec spec;
    if (job_spec_from_keywords(bound[kJobSpec], spec) < 0) return nullptr;
    std::vector<std::string> header;
    if (bound[kHeader] != Py_None && read_cells(bound[kHeader], header) < 0) return nullptr;
    std::vector<std::string> boundaries;
    std::vector<std::string> paths;
    int acceleration = 0;
    if (read_boundaries(bound[kBoundaries], &boundaries) < 0 ||
        read_acceleration(bound[kAcceleration], &acceleration) < 0 || read_paths(bound[kPaths], paths) < 0) {
        return nullptr;
    }
    if (paths.size() != boundaries.size() + 1) {
        PyErr_SetString(PyExc_ValueError, "one path per range: one more than the boundaries");
        return nullptr;
    }
    if (bound[kPoll] != Py_None && !PyCallable_Check(bound[kPoll])) {
        PyErr_SetString(PyExc_TypeError, "poll must be callable or None");
        return nullptr;
    }

    RangeBuckets buckets(std::move(boundaries), acceleration, std::move(paths), FileOps::system());
    JobSession session;
    BucketSink sink(buckets, session, bound[kPoll]);
    job::RecordFeeder feeder(spec, sink, nullptr);
    const EngineStatus done = session.run_detached([&]() -> EngineStatus {
        if (spec.format == job::RecordFormat::Csv && bound[kHeader] != Py_None) {
            TR_RETURN_IF_ERROR(feeder.expect_csv_header(std::move(header), *path));
        }
        std::unique_ptr<ReadableFile> file = TR_TRY(open_shard(*path, spec));
        TR_RETURN_IF_ERROR(feeder.add_input(*path, *file));
        if (!buckets.seal_all() || !buckets.close_files()) return Unexpected(*buckets.error());
        return {};
    });
    if (session.failed()) return session.raise_kept();
    if (!done) return raise_engine_error(done.error());
    // Which JSON keys a record of this shard had, so that a key no shard has is caught.
    Ref found(Py_NewRef(Py_None));
    if (spec.format == job::RecordFormat::JsonLines && feeder.records_added() != 0) {
        found.reset(PyList_New(static_cast<Py_ssize_t>(spec.record_keys.size())));
        if (!found) return nullptr;
        const std::vector<bool>& had = feeder.keys_found();
        for (size_t i = 0; i < spec.record_keys.size(); ++i) {
            const std::string& name = spec.record_keys[i].name;
            PyObject* pair = Py_BuildValue("(s#O)", name.data(), static_cast<Py_ssize_t>(name.size()),
                                           i < had.size() && had[i] ? Py_True : Py_False);
            if (pair == nullptr) return nullptr;
            PyList_SET_ITEM(found.get(), static_cast<Py_ssize_t>(i), pair);
        }
    }
    Ref sizes(buckets.written_list());
    if (!sizes) return nullptr;
    return PyTuple_Pack(2, sizes.get(), found.get());
}

PyObject* add_bucket_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"sorter", "path", "poll"};
    static constexpr ArgSpec kSpec{"_add_bucket_file()", kNames, 3, 3, 3};
    PyObject* bound[3];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    PyObject* sorter_type = static_cast<ModuleTypes*>(PyModule_GetState(module))->sorter;
    if (!PyObject_TypeCheck(bound[0], reinterpret_cast<PyTypeObject*>(sorter_type))) {
        PyErr_SetString(PyExc_TypeError, "_add_bucket_file() needs a Sorter");
        return nullptr;
    }
    auto* self = reinterpret_cast<SorterObject*>(bound[0]);
    const std::optional<std::string> path = fs_path(bound[1]);
    if (!path) return nullptr;
    if (check_can_add_made_keys(self) < 0) return nullptr;

    std::optional<EngineResult<std::unique_ptr<ReadableFile>>> opened;
    {
        Detached detached;
        opened.emplace(open_file(*path));
    }
    if (!*opened) return raise_engine_error(opened->error());
    ReadableFile& file = ***opened;
    std::vector<uint8_t> buffer(kBucketReadSize);
    ByteBuffer raw;
    size_t held = 0;
    for (;;) {
        if (held == buffer.size()) buffer.resize(buffer.size() * 2);  // a block longer than the buffer
        std::optional<EngineResult<size_t>> got;
        {
            Detached detached;
            do {
                got.emplace(file.read(buffer.data() + held, buffer.size() - held));
            } while (!*got && got->error().kind() == ErrorKind::Interrupted);
        }
        if (!*got) return raise_engine_error(got->error().at_path(*path));
        if (**got == 0) break;
        held += **got;
        const Py_ssize_t consumed = add_framed_blocks(self, Bytes(buffer.data(), held), raw, *path);
        if (consumed < 0) return nullptr;
        std::memmove(buffer.data(), buffer.data() + consumed, held - static_cast<size_t>(consumed));
        held -= static_cast<size_t>(consumed);
        if (run_poll(bound[2]) < 0) return nullptr;
    }
    if (held != 0) {
        PyErr_Format(PyExc_OSError, "%s ends inside a block", path->c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <auto F>
PyObject* guarded(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return F(module, args, nargs, kwnames); });
}

constexpr const char kSampleKeysDoc[] =
    "_sample_keys(path, spec, lines, /)\n--\n\n"
    "CSV: the shard's header row and cells (None, None and no keys for an empty shard); each\n"
    "sampled line's key bytes as the shard's reading keys it, or None.";
constexpr const char kBucketFileDoc[] =
    "_bucket_file(path, spec, header, boundaries, acceleration, paths, poll, /)\n--\n\n"
    "Write every record of the shard into the bucket file of its key's range; return the\n"
    "bytes written to each, and for JSON Lines with records each key's (name, whether a record\n"
    "had it) (else None). poll() runs every few MiB.";
constexpr const char kAddBucketFileDoc[] =
    "_add_bucket_file(sorter, path, poll, /)\n--\n\n"
    "Add every record of a bucket file to the sorter; poll() runs every few MiB.";

PyMethodDef kFunctions[] = {
    {"_sample_keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<sample_keys>)),
     METH_FASTCALL | METH_KEYWORDS, kSampleKeysDoc},
    {"_bucket_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<bucket_file>)),
     METH_FASTCALL | METH_KEYWORDS, kBucketFileDoc},
    {"_add_bucket_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<add_bucket_file>)),
     METH_FASTCALL | METH_KEYWORDS, kAddBucketFileDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_shard_bucketing_functions(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tessarune::python
