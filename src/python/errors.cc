#include "python/errors.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

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

}  // namespace

PyObject* to_python_exception(const EngineError& error) {
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
