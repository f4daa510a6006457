#include "python/errors.h"

#include "python/core_lock.h"
#include "python/py_ref.h"

namespace tessarune::python {
namespace {

PyObject* class_for_kind(IoErrorKind kind) {
    switch (kind) {
        case IoErrorKind::NotFound: return PyExc_FileNotFoundError;
        case IoErrorKind::PermissionDenied: return PyExc_PermissionError;
        case IoErrorKind::ConnectionRefused: return PyExc_ConnectionRefusedError;
        case IoErrorKind::ConnectionReset: return PyExc_ConnectionResetError;
        case IoErrorKind::ConnectionAborted: return PyExc_ConnectionAbortedError;
        case IoErrorKind::BrokenPipe: return PyExc_BrokenPipeError;
        case IoErrorKind::AlreadyExists: return PyExc_FileExistsError;
        case IoErrorKind::WouldBlock: return PyExc_BlockingIOError;
        case IoErrorKind::NotADirectory: return PyExc_NotADirectoryError;
        case IoErrorKind::IsADirectory: return PyExc_IsADirectoryError;
        case IoErrorKind::TimedOut: return PyExc_TimeoutError;
        case IoErrorKind::Interrupted: return PyExc_InterruptedError;
        case IoErrorKind::OutOfMemory: return PyExc_MemoryError;
        case IoErrorKind::InvalidData:
        case IoErrorKind::UnexpectedEof:
        case IoErrorKind::WriteZero:
        case IoErrorKind::StorageFull:
        case IoErrorKind::Other: return PyExc_OSError;
    }
    return PyExc_OSError;
}

// Paths in messages were encoded from str with the file system encoding; decoding the same
// way gives back the caller's own text, undecodable bytes included.
PyObject* message_text(const std::string& text) {
    return PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

void set_refusal(Refusal refusal) {
    switch (refusal) {
        case Refusal::Reentrant:
            PyErr_SetString(PyExc_RuntimeError, "reentrant call");
            return;
        case Refusal::ReadOnlyOnce:
            PyErr_SetString(PyExc_RuntimeError, "a sorter can be read only once");
            return;
        case Refusal::AddAfterRead:
            PyErr_SetString(PyExc_RuntimeError, "cannot add to a sorter once it has been read");
            return;
        case Refusal::Stopped:
            PyErr_SetString(PyExc_RuntimeError,
                            "the sorter stopped when reading it failed or was interrupted");
            return;
        case Refusal::Closed:
            PyErr_SetString(PyExc_ValueError, "I/O operation on a closed sorter");
            return;
    }
    PyErr_SetString(PyExc_RuntimeError, "reentrant call");
}

// The internal-error class, made on first use and kept for the life of the process.
PyObject* internal_error_class() {
    static PyMutex mutex{};
    static PyObject* cls = nullptr;
    PyMutex_Lock(&mutex);
    if (cls == nullptr) {
        cls = PyErr_NewExceptionWithDoc(
            "tessarune.InternalError",
            "A broken invariant of tessarune itself: a bug, not a failure of the input or the "
            "system. Derived from BaseException so that ordinary handlers do not swallow it.",
            PyExc_BaseException, nullptr);
    }
    PyObject* result = cls;
    PyMutex_Unlock(&mutex);
    return result;
}

}  // namespace

PyObject* to_python_exception(const EngineError& error) {
    PyObject* cls = PyExc_ValueError;
    if (error.is_io()) {
        cls = class_for_kind(error.io().kind());
    } else if (error.is_lost_records()) {
        cls = PyExc_RuntimeError;
    }
    Ref text(message_text(error.text()));
    if (!text) return nullptr;
    return PyObject_CallOneArg(cls, text.get());
}

PyObject* raise_core_error(const CoreError& error, SignalPoll* poll) {
    // What a signal handler raised is what the user asked for; the engine's Interrupted
    // error only says that the wait gave up because of it.
    if (poll != nullptr && poll->has_kept()) {
        poll->restore_kept();
        return nullptr;
    }
    if (error.is_refusal()) {
        set_refusal(error.refusal());
        return nullptr;
    }
    PyObject* exc = to_python_exception(error.engine_error());
    if (exc != nullptr) PyErr_SetRaisedException(exc);
    return nullptr;
}

PyObject* raise_internal_error(const char* text) {
    PyObject* cls = internal_error_class();
    if (cls != nullptr) PyErr_SetString(cls, text);
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
