// Turning engine failures into Python exceptions, at the moment they are raised.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sorter/sorter_core.h"

namespace tessarune::python {

class SignalPoll;

// The exception object for an engine error: the class of its kind (ValueError,
// RuntimeError, InterruptedError, or an OSError subclass; one with an errno or a path gets
// them as attributes) with the message. nullptr if making it failed.
PyObject* to_python_exception(const EngineError& error);

// Sets the exception for a failure of the engine (to_python_exception). If `poll` kept the exception that a signal handler raised, that
// exception is restored instead (the failure is then the interruption it caused). Always
// returns nullptr.
PyObject* raise_engine_error(const EngineError& error, SignalPoll* poll = nullptr);

// Sets the module's internal-error exception (a BaseException subclass, one per module
// object) with the given text. Always returns nullptr.
PyObject* raise_internal_error(const char* text);

// Runs f, turning a C++ exception escaping it into the internal-error exception
// (InternalError) or MemoryError (std::bad_alloc). Use at every entry from Python that
// reaches the engine. The interpreter must be attached when an exception arrives here.
template <typename F>
auto call_guarded(F&& f) -> decltype(f());

// The name of an object's type as messages use it: PyType_GetName turned into text with
// PyObject_Str, or "?" (the failure discarded). A new reference, or nullptr on failure.
PyObject* type_name_of(PyObject* obj);

// Adds the note "while processing '<name>'" to the exception being raised, as argument
// conversions do. If adding it fails, that failure is raised instead.
void add_processing_note(const char* name);

// Raises the TypeError of a conversion to `target` ("bytes", "str") that got the wrong type:
// "'<qualified type name>' object is not an instance of '<target>'", or "'None' is not an
// instance of '<target>'". Always returns nullptr.
PyObject* raise_not_instance(PyObject* obj, const char* target);

}  // namespace tessarune::python

#include "python/errors_inl.h"
