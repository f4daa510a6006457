#include "python/errors.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/py_ref.h"
#include "python/sorter_object.h"

namespace tessarune::python {
namespace {

PyObject* class_for_kind(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::NotFound: return PyExc_FileNotFoundError;
        case ErrorKind::PermissionDenied: return PyExc_PermissionError;
        case ErrorKind::AlreadyExists: return PyExc_FileExistsError;
        case ErrorKind::WouldBlock: return PyExc_BlockingIOError;
        case ErrorKind::NotADirectory: return PyExc_NotADirectoryError;
        case ErrorKind::IsADirectory: return PyExc_IsADirectoryError;
        case ErrorKind::Interrupted: return PyExc_InterruptedError;
        case ErrorKind::OutOfMemory: return PyExc_MemoryError;
        case ErrorKind::InvalidData:
        case ErrorKind::UnexpectedEof:
        case ErrorKind::WriteZero:
        case ErrorKind::StorageFull:
        case ErrorKind::Other: return PyExc_OSError;
        case ErrorKind::InvalidArgument:
        case ErrorKind::BadInput:
        case ErrorKind::Closed: return PyExc_ValueError;
        case ErrorKind::GaveUp: return PyExc_InterruptedError;
        case ErrorKind::LostRecords:
        case ErrorKind::Reentrant:
        case ErrorKind::ReadOnlyOnce:
        case ErrorKind::AddAfterRead:
        case ErrorKind::Stopped:
        case ErrorKind::OtherProcess: return PyExc_RuntimeError;
    }
    return PyExc_OSError;
}

// Paths in messages were encoded from str with the file system encoding; decoding the same
// way gives back the caller's own text, undecodable bytes included.
PyObject* message_text(const std::string& text) {
    return PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// str() of an engine OSError: the engine's message, exactly as without errno and filename
// (which OSError's own str() would otherwise format in).
PyObject* engine_os_error_str(PyObject* /*unused*/, PyObject* self) {
    PyObject* message = PyObject_GetAttrString(self, "_message");
    if (message != nullptr) return message;
    PyErr_Clear();
    Ref args(PyObject_GetAttrString(self, "args"));
    return args ? PyObject_Str(args.get()) : nullptr;
}

PyMethodDef kEngineOsErrorStr = {"__str__", engine_os_error_str, METH_O, nullptr};

// The OSError classes that engine errors map to, in the order of ModuleTypes::os_errors.
std::array<PyObject*, kEngineOsErrorClasses> engine_os_error_bases() {
    return {PyExc_OSError, PyExc_FileNotFoundError, PyExc_PermissionError, PyExc_FileExistsError,
            PyExc_BlockingIOError, PyExc_NotADirectoryError, PyExc_IsADirectoryError,
            PyExc_InterruptedError};
}

// "tessarune.<base's name>", a subclass of base whose str() is the engine's message.
PyObject* make_engine_os_error_class(PyObject* base) {
    Ref name(PyObject_GetAttrString(base, "__name__"));
    Ref full(name ? PyUnicode_FromFormat("tessarune.%U", name.get()) : nullptr);
    Ref function(full ? PyCFunction_New(&kEngineOsErrorStr, nullptr) : nullptr);
    Ref method(function ? PyInstanceMethod_New(function.get()) : nullptr);
    Ref dict(method ? PyDict_New() : nullptr);
    if (!dict || PyDict_SetItemString(dict.get(), "__str__", method.get()) < 0) return nullptr;
    const char* text = PyUnicode_AsUTF8(full.get());
    return text == nullptr ? nullptr : PyErr_NewException(text, base, dict.get());
}

// Picks a class from this interpreter's module state, or `fallback` when the module cannot be
// had (never expected: the error is then still raised, as its base class). A new reference.
template <typename Pick>
PyObject* module_class(PyObject* fallback, Pick pick) {
    PyObject* holder = nullptr;
    ModuleTypes* types = imported_module_types(&holder);
    Ref module(holder);
    return Py_NewRef(types != nullptr ? pick(*types) : fallback);
}

// The module's subclass of the OSError class `base` (one of engine_os_error_bases()).
PyObject* engine_os_error_class(PyObject* base) {
    const auto bases = engine_os_error_bases();
    const size_t i = static_cast<size_t>(std::find(bases.begin(), bases.end(), base) - bases.begin());
    if (i == bases.size()) return Py_NewRef(base);
    return module_class(base, [i](ModuleTypes& types) { return types.os_errors[i]; });
}

// An I/O error that carries an errno or a path: the class's engine subclass, made with
// (errno, strerror) as its arguments when there is an errno (so errno and strerror are set
// as OSError sets them) or the message alone; filename is the path.
PyObject* os_error_with_details(PyObject* base, const EngineError& io) {
    Ref cls(engine_os_error_class(base));
    Ref message(message_text(io.message()));
    if (!message) return nullptr;
    Ref args;
    if (io.os_code() != 0) {
        char buf[256];
        // GNU strerror_r returns the text, which may or may not be in buf.
        const char* text = strerror_r(io.os_code(), buf, sizeof buf);
        args.reset(Py_BuildValue("(is)", io.os_code(), text));
    } else {
        args.reset(PyTuple_Pack(1, message.get()));
    }
    if (!args) return nullptr;
    Ref exc(PyObject_Call(cls.get(), args.get(), nullptr));
    if (!exc) return nullptr;
    if (PyObject_SetAttrString(exc.get(), "_message", message.get()) < 0) return nullptr;
    if (!io.path().empty()) {
        Ref filename(message_text(io.path()));
        if (!filename || PyObject_SetAttrString(exc.get(), "filename", filename.get()) < 0) {
            return nullptr;
        }
    }
    return exc.release();
}

// InputError(name, line, message): ValueError's args hold the whole text, "NAME:LINE:
// message", which str() shows; the parts are attributes.
PyObject* input_error_init(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"self", "name", "line", "message"};
    static constexpr ArgSpec kSpec{"InputError.__init__()", kNames, 1, 4, 4};
    PyObject* bound[4];
    if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
    PyObject* self = bound[0];
    Ref text(PyUnicode_FromFormat("%S:%S: %S", bound[1], bound[2], bound[3]));
    Ref text_args(text ? PyTuple_Pack(1, text.get()) : nullptr);
    if (!text_args || PyObject_SetAttrString(self, "args", text_args.get()) < 0) return nullptr;
    for (int i = 1; i < 4; ++i) {
        if (PyObject_SetAttrString(self, kNames[i], bound[i]) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// Raised in a Dask worker, it crosses to the client pickled: made again from its parts.
PyObject* input_error_reduce(PyObject* /*unused*/, PyObject* self) {
    Ref name(PyObject_GetAttrString(self, "name"));
    Ref line(name ? PyObject_GetAttrString(self, "line") : nullptr);
    Ref message(line ? PyObject_GetAttrString(self, "message") : nullptr);
    if (!message) return nullptr;
    return Py_BuildValue("(O(OOO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), name.get(), line.get(),
                         message.get());
}

PyMethodDef kInputErrorInit = {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(input_error_init)),
                               METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef kInputErrorReduce = {"__reduce__", input_error_reduce, METH_O, nullptr};

int add_method(PyObject* dict, PyMethodDef* def) {
    Ref function(PyCFunction_New(def, nullptr));
    Ref method(function ? PyInstanceMethod_New(function.get()) : nullptr);
    return method ? PyDict_SetItemString(dict, def->ml_name, method.get()) : -1;
}

PyObject* make_input_error_class() {
    Ref dict(PyDict_New());
    if (!dict || add_method(dict.get(), &kInputErrorInit) < 0 || add_method(dict.get(), &kInputErrorReduce) < 0) {
        return nullptr;
    }
    return PyErr_NewExceptionWithDoc("tessarune.InputError",
                                     "A bad record in an input, shown as 'NAME:LINE: message'.",
                                     PyExc_ValueError, dict.get());
}

// A bad record's error, "NAME:LINE: message" with NAME its path, as an InputError; a
// message of another shape (never expected) as a ValueError.
PyObject* input_error_exception(const EngineError& error) {
    const std::string& text = error.message();
    const std::string& name = error.path();
    const size_t digits = name.size() + 1;
    size_t end = digits;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    const bool parsed = !name.empty() && text.starts_with(name + ":") && end > digits &&
                        text.compare(end, 2, ": ") == 0;
    if (!parsed) {
        Ref whole(message_text(text));
        return whole ? PyObject_CallOneArg(PyExc_ValueError, whole.get()) : nullptr;
    }
    Ref cls(module_class(PyExc_ValueError, [](ModuleTypes& types) { return types.input_error; }));
    Ref path(message_text(name));
    Ref line(path ? PyLong_FromString(text.substr(digits, end - digits).c_str(), nullptr, 10) : nullptr);
    Ref why(line ? message_text(text.substr(end + 2)) : nullptr);
    if (!why) return nullptr;
    return PyObject_CallFunctionObjArgs(cls.get(), path.get(), line.get(), why.get(), nullptr);
}

}  // namespace

PyObject* to_python_exception(const EngineError& error) {
    if (error.kind() == ErrorKind::BadInput) return input_error_exception(error);
    PyObject* cls = class_for_kind(error.kind());
    const bool detailed = error.os_code() != 0 || !error.path().empty();
    if (detailed && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls),
                                     reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        return os_error_with_details(cls, error);
    }
    Ref text(message_text(error.message()));
    if (!text) return nullptr;
    return PyObject_CallOneArg(cls, text.get());
}

PyObject* raise_engine_error(const EngineError& error, SignalPoll* poll) {
    // What a signal handler raised is what the user asked for; the engine's GaveUp error
    // only says that the wait gave up because of it.
    if (poll != nullptr && poll->has_kept()) {
        poll->restore_kept();
        return nullptr;
    }
    PyObject* exc = to_python_exception(error);
    if (exc != nullptr) PyErr_SetRaisedException(exc);
    return nullptr;
}

int make_error_classes(ModuleTypes& types) {
    types.internal_error = PyErr_NewExceptionWithDoc(
        "tessarune.InternalError",
        "A broken invariant of tessarune itself: a bug, not a failure of the input or the "
        "system. Derived from BaseException so that ordinary handlers do not swallow it.",
        PyExc_BaseException, nullptr);
    if (types.internal_error == nullptr) return -1;
    types.input_error = make_input_error_class();
    if (types.input_error == nullptr) return -1;
    const auto bases = engine_os_error_bases();
    for (size_t i = 0; i < bases.size(); ++i) {
        types.os_errors[i] = make_engine_os_error_class(bases[i]);
        if (types.os_errors[i] == nullptr) return -1;
    }
    return 0;
}

PyObject* raise_internal_error(const char* text) {
    Ref cls(module_class(PyExc_BaseException, [](ModuleTypes& types) { return types.internal_error; }));
    PyErr_SetString(cls.get(), text);
    return nullptr;
}

void add_processing_note(const char* name) {
    Ref exc(PyErr_GetRaisedException());
    if (!exc) return;
    Ref note(PyUnicode_FromFormat("while processing '%s'", name));
    if (!note) return;
    Ref done(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
    if (!done) return;
    PyErr_SetRaisedException(exc.release());
}

PyObject* raise_not_instance(PyObject* obj, const char* target) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        return nullptr;
    }
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        name.reset(PyUnicode_FromString("?"));
        if (!name) return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
    return nullptr;
}

PyObject* type_name_of(PyObject* obj) {
    Ref name(PyType_GetName(Py_TYPE(obj)));
    if (!name) {
        PyErr_Clear();
        return PyUnicode_FromString("?");
    }
    return PyObject_Str(name.get());
}

}  // namespace tessarune::python
