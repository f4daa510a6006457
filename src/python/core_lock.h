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

// No Python code runs while this thread holds the engine's mutex: a signal handler (or a
// collection that PyErr_CheckSignals may start) could wait for a lock held by a thread that
// waits for this mutex. So the polls given to the engine never call into Python with the
// mutex held; they come in two kinds.

// Python runs signal handlers in the main thread only. The module notes that thread when it
// is loaded (from threading.main_thread(): 0 when unknown, then every thread counts); a
// poll in any other thread has nothing to run and leaves the mutex alone.
int note_signal_thread();
bool runs_signal_handlers();

// For operations that can stop and start again unharmed (an add waiting for a spill): the
// poll gives up at every slice without running anything, the operation unwinds, and the
// caller checks signals after unlocking, then tries again if no handler raised.
class UnwindPoll final : public Poll {
public:
    bool give_up() override {
        if (!runs_signal_handlers()) return false;
        asked_ = true;
        return true;
    }
    bool asked() const { return asked_; }

private:
    bool asked_ = false;
};

// For start_read, which keeps its work to itself while the state reads Read: the poll
// unlocks the mutex, calls PyErr_CheckSignals (attaching for that one call when the thread
// is detached), and locks again. It gives up when a handler raised (the exception is kept,
// and every later call gives up again; the caller restores it with restore_kept() or
// through raise_engine_error) or when the sorter was closed meanwhile.
class SignalPoll final : public Poll {
public:
    // Remembers the calling thread's state, to attach with later: make it attached.
    explicit SignalPoll(SorterCore& core);
    ~SignalPoll() override;  // drops a kept exception that was never restored (attaching)
    SignalPoll(const SignalPoll&) = delete;
    SignalPoll& operator=(const SignalPoll&) = delete;
    bool give_up() override;
    bool has_kept() const { return kept_ != nullptr; }
    // Sets the kept exception as the current one. REQUIRES: attached, has_kept().
    void restore_kept();

private:
    SorterCore& core_;
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
    enum class Wait { Interruptible, Uninterruptible };
    // TryFirst: try-lock while attached; on a busy mutex detach, check reentrancy, sleep.
    // Detached: detach at once, check reentrancy, lock (start_read, close).
    // An interruptible wait sleeps in slices of 50 ms and checks signals between them (not
    // holding the mutex), so a thread stuck behind another one's long merge still answers
    // Ctrl-C; a handler that raises ends the wait. Uninterruptible waits are for paths that
    // already carry an exception and wait only behind short holders.
    CoreLock(SorterCore& core, How how, Wait wait = Wait::Interruptible);
    ~CoreLock();  // unlocks (if locked), then attaches (if detached)
    CoreLock(const CoreLock&) = delete;
    CoreLock& operator=(const CoreLock&) = delete;

    // False when the call was refused as reentrant or the wait was interrupted (the mutex
    // is not held then).
    bool locked() const { return locked_; }
    bool interrupted() const { return interrupted_; }
    // REQUIRES: !locked(). Attaches and makes the failure the current exception: what a
    // signal handler raised during the wait, RuntimeError "reentrant call", or the refusal of
    // a forked child. Returns nullptr.
    PyObject* raise_not_locked();
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
    bool interrupted_ = false;  // a handler raised while waiting; its exception is set
    // Why the call was refused when not interrupted: Reentrant, or OtherProcess in a forked
    // child (every call into the engine starts with a CoreLock, so a child is kept out here).
    ErrorKind refusal_ = ErrorKind::Reentrant;
};

}  // namespace tessarune::python
