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

// The signal poll: attaches for one PyErr_CheckSignals call when the thread is detached.
// When a handler raises, the exception is kept (and every later call gives up again); the
// caller restores it with restore_kept() or through raise_core_error.
class SignalPoll final : public Poll {
public:
    // `detached` tells whether the calling thread is detached (then `tstate` is the saved
    // thread state to attach with) while the poll is asked.
    SignalPoll() = default;
    ~SignalPoll() override;  // drops a kept exception that was never restored (attaching)
    void set_detached(PyThreadState* tstate) { tstate_ = tstate; }
    bool give_up() override;
    bool has_kept() const { return kept_ != nullptr; }
    // Sets the kept exception as the current one. REQUIRES: attached, has_kept().
    void restore_kept();

private:
    PyThreadState* tstate_ = nullptr;  // non-null while the user is detached
    PyObject* kept_ = nullptr;
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

    // False when the call was refused as reentrant (the mutex is not held then).
    bool locked() const { return locked_; }
    bool detached() const { return tstate_ != nullptr; }
    PyThreadState* thread_state() const { return tstate_; }
    void detach();  // no-op when detached
    void attach();  // no-op when attached
    // Unlocks now and attaches; the destructor then does nothing more.
    void release();

private:
    SorterCore& core_;
    PyThreadState* tstate_ = nullptr;
    bool locked_ = false;
};

}  // namespace tessarune::python
