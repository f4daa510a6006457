#include "python/core_lock.h"

namespace tessarune::python {
namespace {

bool attached() { return PyThreadState_GetUnchecked() != nullptr; }

}  // namespace

SignalPoll::SignalPoll() : tstate_(PyThreadState_GetUnchecked()) {}

SignalPoll::~SignalPoll() {
    if (kept_ == nullptr) return;
    if (attached()) {
        Py_DECREF(kept_);
        return;
    }
    if (tstate_ == nullptr) return;  // cannot attach: leaking beats crashing in a destructor
    PyEval_RestoreThread(tstate_);
    Py_DECREF(kept_);
    PyEval_SaveThread();
}

bool SignalPoll::give_up() {
    if (kept_ != nullptr) return true;
    const bool was_detached = !attached();
    if (was_detached) {
        TR_CHECK(tstate_ != nullptr);
        PyEval_RestoreThread(tstate_);
    }
    if (PyErr_CheckSignals() < 0) kept_ = PyErr_GetRaisedException();
    if (was_detached) PyEval_SaveThread();
    return kept_ != nullptr;
}

void SignalPoll::restore_kept() {
    TR_CHECK(kept_ != nullptr);
    PyErr_SetRaisedException(kept_);
    kept_ = nullptr;
}

CoreLock::CoreLock(SorterCore& core, How how) : core_(core) {
    // The mutex may have been held by a thread that the fork did not copy.
    if (!core_.in_creating_process()) {
        refusal_ = Refusal::OtherProcess;
        return;
    }
    if (how == How::TryFirst && core_.try_lock()) {
        locked_ = true;
        return;
    }
    detach();
    // The holder is this very thread when a signal handler, run during one of its own waits,
    // calls back into the sorter: sleeping on the mutex would never end.
    if (core_.held_by_this_thread()) return;
    core_.lock();
    locked_ = true;
}

CoreLock::~CoreLock() { release(); }

void CoreLock::detach() {
    if (tstate_ == nullptr) tstate_ = PyEval_SaveThread();
}

void CoreLock::attach() {
    if (tstate_ != nullptr) {
        PyEval_RestoreThread(tstate_);
        tstate_ = nullptr;
    }
}

void CoreLock::unlock() {
    if (locked_) {
        core_.unlock();
        locked_ = false;
    }
}

void CoreLock::release() {
    unlock();
    attach();
}

}  // namespace tessarune::python
