// _merge_lines(input_fds, fields, tab, zero_terminated, random_seed, output_fd, unique, strict,
// threads): merges the sorted lines read from input_fds into output_fd (-1: write nothing, only
// check the order). fields: the line key plan's tuples, or None for lines in their own byte
// order. The work runs detached from the interpreter, in slices between which signals are
// checked. With two threads or more, regular files merged into a regular file go in two halves
// at once (merge/split_line_merge.h).
#include "python/merge_lines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <optional>
#include <vector>

#include "merge/line_merge.h"
#include "merge/split_line_merge.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/line_key_plan.h"
#include "python/py_ref.h"

namespace tessarune::python {
namespace {

constexpr uint64_t kLinesPerSlice = uint64_t{1} << 16;

int read_fds(PyObject* obj, std::vector<int>* out) {
    Ref items(PySequence_Tuple(obj));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        const int fd = PyLong_AsInt(PyTuple_GET_ITEM(items.get(), i));
        if (fd == -1 && PyErr_Occurred()) return -1;
        if (fd < 0) {
            PyErr_SetString(PyExc_ValueError, "a file descriptor must not be negative");
            return -1;
        }
        out->push_back(fd);
    }
    return 0;
}

// The sizes of the inputs and where the output goes, when both halves of a split merge could
// write their places in the output: every input a regular file read from its start, the output
// a regular file not opened to append.
bool positioned_files(const std::vector<int>& fds, int output_fd, std::vector<uint64_t>* sizes, uint64_t* output_at) {
    struct stat st;
    for (const int fd : fds) {
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::lseek(fd, 0, SEEK_CUR) != 0) return false;
        sizes->push_back(static_cast<uint64_t>(st.st_size));
    }
    if (::fstat(output_fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const int flags = ::fcntl(output_fd, F_GETFL);
    if (flags < 0 || (flags & O_APPEND) != 0) return false;
    const off_t at = ::lseek(output_fd, 0, SEEK_CUR);
    if (at < 0) return false;
    *output_at = static_cast<uint64_t>(at);
    return true;
}

template <typename Merge>
PyObject* run_merge(Merge& merger) {
    while (true) {
        std::optional<EngineResult<merge::LineMerge::Step>> step;
        {
            Detached detached;
            step.emplace(merger.run(kLinesPerSlice));
        }
        if (!*step) {
            Ref exc(to_python_exception(step->error()));
            if (!exc) return nullptr;
            const auto failed = merger.failed_input();
            Ref index(failed ? PyLong_FromSize_t(*failed) : Py_NewRef(Py_None));
            if (!index || PyObject_SetAttrString(exc.get(), "input_index", index.get()) < 0) return nullptr;
            PyErr_SetRaisedException(exc.release());
            return nullptr;
        }
        switch (step->value()) {
            case merge::LineMerge::Step::Done:
                Py_RETURN_NONE;
            case merge::LineMerge::Step::OutOfOrder: {
                const auto& d = merger.disorder();
                return Py_BuildValue("(nKy#)", static_cast<Py_ssize_t>(d.input),
                                     static_cast<unsigned long long>(d.line_number), d.line.data(),
                                     static_cast<Py_ssize_t>(d.line.size()));
            }
            case merge::LineMerge::Step::More:
                break;
        }
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
}

PyObject* merge_lines(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 9) {
        PyErr_Format(PyExc_TypeError, "_merge_lines() takes exactly 9 arguments (%zd given)", nargs);
        return nullptr;
    }
    return call_guarded([&]() -> PyObject* {
        std::vector<int> fds;
        if (read_fds(args[0], &fds) < 0) return nullptr;
        const int zero = PyObject_IsTrue(args[3]);
        if (zero < 0) return nullptr;
        std::optional<format::LineKeyPlan> plan;
        if (args[1] != Py_None) {
            plan.emplace();
            if (line_key_plan_from_python(args[1], args[2], zero, args[4], &*plan) < 0) return nullptr;
        }
        const int output_fd = PyLong_AsInt(args[5]);
        if (output_fd == -1 && PyErr_Occurred()) return nullptr;
        const int unique = PyObject_IsTrue(args[6]);
        const int strict = PyObject_IsTrue(args[7]);
        if (unique < 0 || strict < 0) return nullptr;
        const int threads = PyLong_AsInt(args[8]);
        if (threads == -1 && PyErr_Occurred()) return nullptr;
        merge::LineMerge::Options options;
        options.separator = zero ? 0 : '\n';
        options.unique = unique != 0;
        options.strict_order = strict != 0;
        std::vector<uint64_t> sizes;
        uint64_t output_at = 0;
        if (threads >= 2 && output_fd >= 0 && !options.unique && positioned_files(fds, output_fd, &sizes, &output_at)) {
            EngineResult<std::optional<merge::LineMergeSplit>> split = std::optional<merge::LineMergeSplit>();
            {
                Detached detached;
                split = merge::split_line_merge(plan, options.separator, fds, sizes);
            }
            if (split && *split) {
                const uint64_t end = output_at + (*split)->output_size;
                merge::TwoWayLineMerge merger(plan, options, fds, output_fd, output_at, std::move(**split));
                PyObject* result = run_merge(merger);
                if (result == Py_None) ::lseek(output_fd, static_cast<off_t>(end), SEEK_SET);
                return result;
            }
            // An error of the split's reads comes again from the merge in one piece.
        }
        merge::LineMerge merger(std::move(plan), options, fds, output_fd);
        return run_merge(merger);
    });
}

constexpr const char kMergeLinesDoc[] =
    "_merge_lines($module, input_fds, fields, tab, zero_terminated, random_seed, output_fd, unique,\n"
    "             strict, threads, /)\n--\n\n"
    "Merge the sorted lines of input_fds into output_fd (-1: only check their order).\n\n"
    "Lines compare by the line key plan `fields` (None: by their bytes); equal keys keep the\n"
    "order of the inputs, and with `unique` only the first of them is written. Returns None, or\n"
    "(input index, line number, line) of the first line found below the line before it in its\n"
    "input (with `strict`, equal to it too), once what came before is written. An OSError\n"
    "carries input_index: the input that failed to be read, or None when the output failed.\n"
    "With threads >= 2, regular files merged into a regular file are merged in two halves at\n"
    "once; a disorder may then stop them after output of both halves is written.";

PyMethodDef kFunctions[] = {
    {"_merge_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_lines)), METH_FASTCALL,
     kMergeLinesDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_merge_lines_function(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tessarune::python
