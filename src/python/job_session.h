// JobSession: the interpreter as seen from a job that runs detached from it. The job's
// callbacks into Python (the output handle's write, the progress bars, the signal check)
// attach for their call alone. The first exception one of them raises is kept, every later
// call is refused, and the job ends; the caller then raises that very exception, unchanged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <thread>
#include <utility>

#include "base/engine_error.h"
#include "python/py_ref.h"

namespace tessarune::python {

class JobSession {
public:
    // REQUIRES: attached, when made and when dropped.
    JobSession() = default;
    JobSession(const JobSession&) = delete;
    JobSession& operator=(const JobSession&) = delete;

    // Runs the job detached; attached again on every way out, exceptions included.
    template <typename F>
    auto run_detached(F&& job) -> decltype(job()) {
        struct Attach {
            PyThreadState*& tstate;
            ~Attach() { PyEval_RestoreThread(std::exchange(tstate, nullptr)); }
        };
        tstate_ = PyEval_SaveThread();
        const Attach attach{tstate_};
        return job();
    }

    // Runs f attached: f returns 0, or -1 with an exception set, which is kept. False when
    // an exception is kept, by this call or before (f is not run then). The job calls back
    // on the thread that runs it, the only one that can attach with the session's state.
    template <typename F>
    bool call(F&& f) {
        if (kept_) return false;
        TR_CHECK(std::this_thread::get_id() == owner_ && tstate_ != nullptr);
        PyEval_RestoreThread(tstate_);
        const int result = f();
        if (result < 0) kept_.reset(PyErr_GetRaisedException());
        PyEval_SaveThread();
        return result >= 0;
    }

    bool failed() const { return static_cast<bool>(kept_); }

    // Raises the kept exception. REQUIRES: attached, failed(). Returns nullptr.
    PyObject* raise_kept() {
        PyErr_SetRaisedException(kept_.release());
        return nullptr;
    }

private:
    PyThreadState* tstate_ = nullptr;  // while the job runs
    const std::thread::id owner_ = std::this_thread::get_id();
    Ref kept_;
};

}  // namespace tessarune::python
