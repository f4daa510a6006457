// _sort_files(...): tessarune.sort_files as one call into the job of sorting files. The
// arguments become a JobSpec, and the job runs detached from the interpreter; Python is
// called back only for an output handle's writes, the progress bars and the signal checks.
//
// tessarune/files.py has already checked what is cheap to check there: the format's name,
// the options that apply to lines only, the separator and the delimiter. The rest is read here.
#include "python/sort_files.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/process.h"
#include "job/cache_light_ops.h"
#include "job/key_definition.h"
#include "job/record_key_text.h"
#include "job/sort_job.h"
#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/job_session.h"
#include "python/polled_inputs.h"
#include "python/python_output.h"
#include "python/python_poll.h"
#include "python/python_progress.h"
#include "python/record_keys_arg.h"
#include "python/sorter_object.h"
#include "python/stream_inputs.h"

namespace tessarune::python {
namespace {

enum Param {
    kInputs,
    kOutput,
    kFormat,
    kKey,
    kNumeric,
    kReverse,
    kUnique,
    kIgnoreBlanks,
    kFieldSeparator,
    kZeroTerminated,
    kDelimiter,
    kMaxBytes,
    kThreads,
    kMaxOpen,
    kTmpDir,
    kProgress,
    kModifiers,
    kHeader,
    kDecompress,
    kNullsLast,
    kReadSize,
    kParamCount
};
constexpr const char* kNames[kParamCount] = {
    "inputs",    "output",  "format",   "key",     "numeric",  "reverse",   "unique",
    "ignore_blanks", "field_separator", "zero_terminated", "delimiter", "max_bytes", "threads",
    "max_open",  "tmp_dir", "progress", "modifiers", "header", "decompress", "nulls_last", "_read_size"};
constexpr ArgSpec kSpec{"_sort_files()", kNames, 0, 2, 2};

bool given(PyObject* arg) { return arg != nullptr && arg != Py_None; }

// A flag argument: -1 with an exception set, else 0 or 1 (0 when not given).
int flag(PyObject* arg) { return arg == nullptr ? 0 : PyObject_IsTrue(arg); }

// A count argument; a negative one reads as 0, which the engine refuses with its own message.
std::optional<uint64_t> count(PyObject* arg, uint64_t fallback, const char* name) {
    if (!given(arg)) return fallback;
    const long long value = PyLong_AsLongLong(arg);
    if (value == -1 && PyErr_Occurred()) {
        add_processing_note(name);
        return std::nullopt;
    }
    return value < 0 ? 0 : static_cast<uint64_t>(value);
}

// A path (str, bytes or os.PathLike) in the file system's encoding.
std::optional<std::string> path_of(PyObject* arg) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(arg, &encoded)) return std::nullopt;
    Ref bytes(encoded);
    return std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
}

std::optional<std::string> text_of(PyObject* arg) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(arg, &size);
    if (text == nullptr) return std::nullopt;
    return std::string(text, static_cast<size_t>(size));
}

// Each item of a list argument, as `convert` reads it: a str or a path stands alone.
template <typename Convert>
std::optional<std::vector<std::string>> list_of(PyObject* arg, Convert convert) {
    std::vector<std::string> out;
    if (!given(arg)) return out;
    if (PyUnicode_Check(arg) || PyBytes_Check(arg)) {
        std::optional<std::string> one = convert(arg);
        if (!one) return std::nullopt;
        out.push_back(std::move(*one));
        return out;
    }
    Ref items(PySequence_Fast(arg, "expected a str or a list of them"));
    if (!items) return std::nullopt;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        std::optional<std::string> item = convert(PySequence_Fast_GET_ITEM(items.get(), i));
        if (!item) return std::nullopt;
        out.push_back(std::move(*item));
    }
    return out;
}

int raise_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return -1;
}

// One byte of a bytes argument of length one, or `fallback` when it is None.
int one_byte(PyObject* arg, int fallback, const char* what) {
    if (!given(arg)) return fallback;
    if (!PyBytes_Check(arg) || PyBytes_GET_SIZE(arg) != 1) {
        return raise_value_error(std::string(what) + " must be one byte");
    }
    return static_cast<unsigned char>(PyBytes_AS_STRING(arg)[0]);
}

// Lines: the key definitions and the global options folded into the plan, as the command
// folds them; sort_files is stable, so no whole line breaks ties.
int bind_lines(PyObject* const* arg, const std::vector<std::string>& keys, job::JobSpec& spec) {
    job::LineOrdering ordering;
    ordering.last_resort = false;
    for (const std::string& text : keys) {
        Expected<job::KeyDefinition, std::string> key = job::parse_key_definition(text);
        if (!key) return raise_value_error(key.error());
        ordering.keys.push_back(*key);
    }
    if (given(arg[kModifiers])) {
        const std::optional<std::string> letters = text_of(arg[kModifiers]);
        if (!letters) return -1;
        for (const char c : *letters) {
            const uint32_t f = job::modifier_flag(c, job::kBothBlanks);
            if (f == 0) return raise_value_error(std::string("unknown ordering option -") + c);
            ordering.global |= f;
        }
    }
    const int numeric = flag(arg[kNumeric]), reverse = flag(arg[kReverse]), blanks = flag(arg[kIgnoreBlanks]);
    if (numeric < 0 || reverse < 0 || blanks < 0) return -1;
    if (numeric) ordering.global |= format::kNumeric;
    if (reverse) ordering.global |= format::kReverse;
    if (blanks) ordering.global |= job::kBothBlanks;
    ordering.tab = one_byte(arg[kFieldSeparator], -1, "the field separator");
    if (PyErr_Occurred()) return -1;
    const int zero = flag(arg[kZeroTerminated]);
    if (zero < 0) return -1;
    ordering.zero_terminated = zero != 0;
    Expected<format::LineKeyPlan, std::string> plan = job::make_line_key_plan(ordering);
    if (!plan) return raise_value_error(plan.error());
    spec.line_plan = std::move(*plan);
    spec.reverse = (ordering.global & format::kReverse) != 0;
    spec.separator = zero ? '\0' : '\n';
    for (const format::LineKeyField& field : spec.line_plan.fields) {
        if ((field.flags & format::kRandom) == 0) continue;
        if (::getrandom(&spec.line_plan.random_seed, sizeof spec.line_plan.random_seed, 0) < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
        }
        break;
    }
    return 0;
}

// JSON Lines and CSV: keys as record_keys_arg.h reads them; -n and -r as the command folds them.
int bind_records(PyObject* const* arg, job::JobSpec& spec) {
    const int numeric = flag(arg[kNumeric]), blanks = flag(arg[kIgnoreBlanks]);
    const int header = given(arg[kHeader]) ? PyObject_IsTrue(arg[kHeader]) : 1;
    if (numeric < 0 || header < 0 || blanks < 0) return -1;
    if (blanks) return raise_value_error("ignore_blanks applies to lines only");
    if (header == 0 && spec.format != job::RecordFormat::Csv) return raise_value_error("header=False applies to CSV only");
    spec.csv_header = header != 0;
    if (bind_record_keys(arg[kKey], given(arg[kReverse]) ? arg[kReverse] : nullptr, arg[kNullsLast], numeric != 0,
                         spec) < 0) {
        return -1;
    }
    if (spec.format == job::RecordFormat::Csv) {
        if (given(arg[kDelimiter])) {
            const std::optional<std::string> delimiter = text_of(arg[kDelimiter]);
            if (!delimiter) return -1;
            if (delimiter->size() != 1) return raise_value_error("the delimiter must be one byte in UTF-8");
            spec.csv_delimiter = static_cast<uint8_t>((*delimiter)[0]);
        }
    }
    return 0;
}

std::optional<std::string> default_tmp_dir() {
    Ref tempfile(PyImport_ImportModule("tempfile"));
    Ref dir(tempfile ? PyObject_CallMethod(tempfile.get(), "gettempdir", nullptr) : nullptr);
    if (!dir) return std::nullopt;
    return path_of(dir.get());
}

// The inputs: a path alone, or a list whose items are paths or, where `streams` is given,
// (name, binary file object) pairs, as tessarune/files.py names them. 0, or -1 with an
// exception set.
int bind_inputs(PyObject* arg, std::vector<std::string>& names, std::vector<PythonStream>* streams) {
    if (!given(arg) || PyUnicode_Check(arg) || PyBytes_Check(arg)) {
        std::optional<std::vector<std::string>> paths = list_of(arg, path_of);
        if (!paths) return -1;
        names = std::move(*paths);
        return 0;
    }
    Ref items(PySequence_Fast(arg, "inputs must be a path or a list of inputs"));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item)) {
            std::optional<std::string> path = path_of(item);
            if (!path) return -1;
            names.push_back(std::move(*path));
            continue;
        }
        if (streams == nullptr || PyTuple_GET_SIZE(item) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0))) {
            PyErr_SetString(PyExc_TypeError, "an input file object comes as (name, object)");
            return -1;
        }
        std::optional<std::string> name = text_of(PyTuple_GET_ITEM(item, 0));
        if (!name) return -1;
        PyObject* object = PyTuple_GET_ITEM(item, 1);
        const int readinto = PyObject_HasAttrStringWithError(object, "readinto");
        if (readinto < 0) return -1;
        names.push_back(*name);
        streams->push_back(PythonStream{std::move(*name), object, readinto == 1});
    }
    return 0;
}

int bind_spec(PyObject* const* arg, job::JobSpec& spec, std::vector<PythonStream>* streams) {
    if (bind_inputs(arg[kInputs], spec.inputs, streams) < 0) return -1;
    const std::optional<std::string> format = given(arg[kFormat]) ? text_of(arg[kFormat]) : std::optional<std::string>("lines");
    if (!format) return -1;
    if (*format == "jsonl") {
        spec.format = job::RecordFormat::JsonLines;
    } else if (*format == "csv") {
        spec.format = job::RecordFormat::Csv;
    } else if (*format != "lines") {
        return raise_value_error("format must be one of lines, jsonl, csv, not '" + *format + "'");
    }
    if (spec.format == job::RecordFormat::Lines) {
        const std::optional<std::vector<std::string>> keys = list_of(arg[kKey], text_of);
        if (!keys || bind_lines(arg, *keys, spec) < 0) return -1;
        if (given(arg[kNullsLast])) return raise_value_error("nulls_last applies to keys of JSON Lines and CSV, not of lines");
    } else if (bind_records(arg, spec) < 0) {
        return -1;
    }
    spec.stable = true;
    const int unique = flag(arg[kUnique]);
    if (unique < 0) return -1;
    spec.unique = unique != 0;
    const int decompress = flag(arg[kDecompress]);
    if (decompress < 0) return -1;
    spec.decompress = decompress != 0;

    const std::optional<uint64_t> max_bytes = count(arg[kMaxBytes], spec.max_bytes, "max_bytes");
    if (!max_bytes) return -1;
    const std::optional<uint64_t> threads = count(arg[kThreads], 1, "threads");
    if (!threads) return -1;
    const std::optional<uint64_t> max_open = count(arg[kMaxOpen], 64, "max_open");
    if (!max_open) return -1;
    spec.max_bytes = *max_bytes;
    spec.threads = *threads;
    spec.batch_size = *max_open;
    std::optional<std::string> tmp_dir = given(arg[kTmpDir]) ? path_of(arg[kTmpDir]) : default_tmp_dir();
    if (!tmp_dir) return -1;
    spec.tmp_dirs = {std::move(*tmp_dir)};
    return 0;
}

// Where the output goes: None or "-" standard output, a path the file it names, anything else
// a handle with a write method. -1 with an exception set.
int bind_output(PyObject* output, const std::shared_ptr<FileOps>& ops, JobSession& session,
                job::JobEnvironment& env, job::JobSpec& spec) {
    if (output == Py_None || (PyUnicode_Check(output) && PyUnicode_CompareWithASCIIString(output, "-") == 0)) {
        env.output = job::standard_output(ops);
        return 0;
    }
    if (PyUnicode_Check(output) || PyBytes_Check(output) || PyObject_HasAttrString(output, "__fspath__")) {
        const std::optional<std::string> path = path_of(output);
        if (!path) return -1;
        // Resolving links and making the temporary file is file system work: detached.
        std::optional<EngineResult<std::unique_ptr<job::OutputTarget>>> target;
        {
            Detached detached;
            target.emplace(job::output_file(ops, *path));
        }
        if (!*target) {
            raise_engine_error(target->error());
            return -1;
        }
        env.output = std::move(**target);
        // As -o names it: an input that is the output, and a .gz or .zst output, are seen.
        spec.output = *path;
        return 0;
    }
    WriteHandle handle;
    if (open_write_handle(output, handle) < 0) return -1;
    env.output = std::make_unique<HandleOutput>(std::move(handle), session);
    return 0;
}

PyObject* sort_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[kParamCount];
    if (bind_fastcall(kSpec, args, nargs, kwnames, arg) < 0) return nullptr;
    job::JobSpec spec;
    std::vector<PythonStream> streams;
    if (bind_spec(arg, spec, &streams) < 0) return nullptr;
    const std::optional<uint64_t> read_size = count(arg[kReadSize], 0, "_read_size");
    if (!read_size) return nullptr;

    JobSession session;
    PythonPoll poll(session);
    job::JobEnvironment env;
    std::shared_ptr<FileOps> files = FileOps::system();
    if (!streams.empty()) files = std::make_shared<StreamInputs>(std::move(files), std::move(streams), session);
    const auto light = std::make_shared<job::CacheLightOps>(std::move(files));
    env.cache = light.get();
    env.memory = physical_memory();
    // Polled around the streams too: Ctrl-C is seen between two reads of a file object.
    env.ops = std::make_shared<PolledInputs>(light, poll, static_cast<size_t>(*read_size));
    env.poll = &poll;
    if (bind_output(arg[kOutput], env.ops, session, env, spec) < 0) return nullptr;
    std::optional<BarProgress> progress;
    if (given(arg[kProgress])) env.progress = &progress.emplace(arg[kProgress], session);

    EngineResult<job::JobReport> report = session.run_detached([&] { return job::run_job(spec, env); });
    if (session.failed()) return session.raise_kept();
    if (!report) return raise_engine_error(report.error());
    Ref stats(stats_tuple(static_cast<ModuleTypes*>(PyModule_GetState(module))->stats, report->stats));
    if (!stats) return nullptr;
    return Py_BuildValue("(KO)", static_cast<unsigned long long>(report->bytes_read), stats.get());
}

PyObject* sort_files_guarded(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guarded([&] { return sort_files(module, args, nargs, kwnames); });
}

constexpr const char kSortFilesDoc[] =
    "_sort_files(inputs, output, *, format='lines', key=None, ...)\n--\n\n"
    "tessarune.sort_files once files.py has checked its arguments: returns (bytes_read, stats).\n"
    "An input is a path or a (name, binary file object) pair, read by that name.";

PyMethodDef kFunctions[] = {
    {"_sort_files", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sort_files_guarded)),
     METH_FASTCALL | METH_KEYWORDS, kSortFilesDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int job_spec_from_keywords(PyObject* kwargs, job::JobSpec& spec) {
    KeywordCopy keywords;
    PyObject* arg[kParamCount];
    Ref none(PyTuple_New(0));
    static constexpr ArgSpec kKeywordsOnly{"the sort's arguments", kNames, 0, 0, 0};
    if (!none || bind_tuple_dict(kKeywordsOnly, none.get(), kwargs, keywords, arg) < 0) return -1;
    return bind_spec(arg, spec, nullptr);
}

int add_sort_files_function(PyObject* module) { return PyModule_AddFunctions(module, kFunctions); }

}  // namespace tessarune::python
