// The engine's lock protocol and signal polling, seen from Python.
//
// A thread never sleeps on the engine's mutex, waits for a spill or merges while attached to
// the interpreter. CoreLock takes the mutex the way the engine wants: a try-lock while
// attached; otherwise detach, refuse a reentrant call, sleep until free. It remembers
// whether the thread is detached, and on destruction unlocks first and attaches afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sorter/sorter_core.h"

namespace tessarune::python {

// The signal poll: calls PyErr_CheckSignals, attaching for that one call when the thread is
// detached at the moment it is asked (it finds out for itself, so it works for a thread that
// detaches and attaches while the poll lives). When a handler raises, the exception is kept
// (and every later call gives up again); the caller restores it with restore_kept() or
// through raise_core_error.
class SignalPoll final : public Poll {
public:
    // Remembers the calling thread's state, to attach with later. Make it attached, or give
    // the saved state with set_detached().
    SignalPoll();
    ~SignalPoll() override;  // drops a kept exception that was never restored (attaching)
    SignalPoll(const SignalPoll&) = delete;
    SignalPoll& operator=(const SignalPoll&) = delete;
    // The saved thread state to attach with, for a poll made while detached (a null tstate
    // changes nothing).
    void set_detached(PyThreadState* tstate) {
        if (tstate != nullptr) tstate_ = tstate;
    }
    bool give_up() override;
    bool has_kept() const { return kept_ != nullptr; }
    // Sets the kept exception as the current one. REQUIRES: attached, has_kept().
    void restore_kept();

private:
    PyThreadState* tstate_ = nullptr;
    PyObject* kept_ = nullptr;
};

// Detaches from the interpreter for a scope: the attach comes back on every way out,
// exceptions included, so an internal error always reaches the interpreter attached.
class Detached {
public:
    Detached() : tstate_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(tstate_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* tstate_;
};

class CoreLock {
public:
    enum class How { TryFirst, Detached };
    // TryFirst: try-lock while attached; on a busy mutex detach, check reentrancy, sleep.
    // Detached: detach at once, check reentrancy, lock (start_read, close).
    CoreLock(SorterCore& core, How how);
    ~CoreLock();  // unlocks (if locked), then attaches (if detached)
    CoreLock(const CoreLock&) = delete;
    CoreLock& operator=(const CoreLock&) = delete;

    // False when the call was refused (the mutex is not held then), for refusal().
    bool locked() const { return locked_; }
    // Why the call was refused: Reentrant, or OtherProcess in a forked child (every call
    // into the engine starts with a CoreLock, so this is where a child is kept out).
    Refusal refusal() const { return refusal_; }
    bool detached() const { return tstate_ != nullptr; }
    PyThreadState* thread_state() const { return tstate_; }
    void detach();  // no-op when detached
    void attach();  // no-op when attached
    // Unlocks now, staying detached or attached as it is (for work that must run outside
    // the mutex but detached, such as releasing a closed sorter's state).
    void unlock();
    // Unlocks now and attaches; the destructor then does nothing more.
    void release();

private:
    SorterCore& core_;
    PyThreadState* tstate_ = nullptr;
    bool locked_ = false;
    Refusal refusal_ = Refusal::Reentrant;
};

}  // namespace tessarune::python
