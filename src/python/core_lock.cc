#include "python/core_lock.h"

#include <atomic>
#include <chrono>

#include "python/errors.h"

namespace tessarune::python {
namespace {

constexpr std::chrono::milliseconds kLockSlice{50};

bool attached() { return PyThreadState_GetUnchecked() != nullptr; }

std::atomic<unsigned long> signal_thread{0};

}  // namespace

int note_signal_thread() {
    PyObject* threading = PyImport_ImportModule("threading");
    if (threading == nullptr) return -1;
    PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
    Py_DECREF(threading);
    if (main == nullptr) return -1;
    PyObject* ident = PyObject_GetAttrString(main, "ident");
    Py_DECREF(main);
    if (ident == nullptr) return -1;
    const unsigned long value = ident == Py_None ? 0 : PyLong_AsUnsignedLong(ident);
    Py_DECREF(ident);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    signal_thread.store(value, std::memory_order_relaxed);
    return 0;
}

bool runs_signal_handlers() {
    const unsigned long main = signal_thread.load(std::memory_order_relaxed);
    return main == 0 || main == PyThread_get_thread_ident();
}

SignalPoll::SignalPoll(SorterCore& core) : core_(core), tstate_(PyThreadState_GetUnchecked()) {}

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
    if (!runs_signal_handlers()) return false;
    core_.unlock();
    const bool was_detached = !attached();
    if (was_detached) {
        TR_CHECK(tstate_ != nullptr);
        PyEval_RestoreThread(tstate_);
    }
    if (PyErr_CheckSignals() < 0) kept_ = PyErr_GetRaisedException();
    if (was_detached) PyEval_SaveThread();
    // Short: while start_read runs, every other holder finds the state Read and leaves.
    if (was_detached) {
        core_.lock();
    } else {
        PyThreadState* tstate = PyEval_SaveThread();
        core_.lock();
        PyEval_RestoreThread(tstate);
    }
    // A close() that came in meanwhile leaves nothing worth merging for.
    return kept_ != nullptr || core_.state_kind() != StateKind::Read;
}

void SignalPoll::restore_kept() {
    TR_CHECK(kept_ != nullptr);
    PyErr_SetRaisedException(kept_);
    kept_ = nullptr;
}

CoreLock::CoreLock(SorterCore& core, How how, Wait wait) : core_(core) {
    // The mutex may have been held by a thread that the fork did not copy.
    if (!core_.in_creating_process()) {
        refusal_ = ErrorKind::OtherProcess;
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
    if (wait == Wait::Uninterruptible) {
        core_.lock();
        locked_ = true;
        return;
    }
    while (!core_.try_lock_for(kLockSlice)) {
        attach();
        if (PyErr_CheckSignals() < 0) {
            interrupted_ = true;
            return;
        }
        detach();
    }
    locked_ = true;
}

CoreLock::~CoreLock() { release(); }

PyObject* CoreLock::raise_not_locked() {
    TR_CHECK(!locked_);
    attach();
    if (interrupted_) return nullptr;  // the handler's exception is set
    return raise_engine_error(EngineError::of_kind(refusal_));
}

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
