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

#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/range_buckets.h"

namespace tessarune::python {
namespace {

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
    RangeBuckets buckets(std::move(boundaries), acceleration);
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

}  // namespace

int add_bucket_records_function(PyObject* module) {
    return PyModule_AddFunctions(module, kFunctions);
}

}  // namespace tessarune::python
