// The shape that every bulk way of adding shares (_add_lines, _add_keyed, _add_framed): rounds
// with the engine's mutex held and the thread detached, between which signal handlers run.
//
// No handler may run while the mutex is held, so a round lets go every kRecordsPerRound records,
// and whenever a wait for a spill gives up to let handlers run: that add failed as interrupted,
// the record was not added, and the next round adds it again.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/core_lock.h"
#include "python/errors.h"
#include "python/sorter_object.h"

namespace tessarune::python {

inline constexpr uint64_t kRecordsPerRound = 16384;

enum class RoundEnd : uint8_t { Done, CheckSignals };
using RoundResult = EngineResult<RoundEnd>;

// Whether a round that has added `added` records should let handlers run now.
inline bool round_is_over(uint64_t added) {
    return added % kRecordsPerRound == 0 && runs_signal_handlers();
}

// Runs round(poll, added) until it answers Done: each time with the mutex held and the thread
// detached, touching no Python object; it counts what it adds in `added` (the sorter's count
// grows by it under the lock) and answers CheckSignals to let handlers run, or an add's failure.
// 0, or -1 with the exception set (a handler's, a refusal's or the failure's).
template <typename Round>
int add_in_rounds(SorterObject* self, Round&& round) {
    SorterCore& core = *self->core;
    for (;;) {
        UnwindPoll poll;
        RoundResult result = RoundEnd::Done;
        {
            CoreLock lock(core, CoreLock::How::Detached);
            if (!lock.locked()) {
                lock.raise_not_locked();
                return -1;
            }
            uint64_t added = 0;
            result = round(static_cast<Poll&>(poll), added);
            // The count changes only under the engine's lock (see adding.cc).
            self->item_count.store(self->item_count.load(std::memory_order_relaxed) + added,
                                   std::memory_order_relaxed);
        }
        if (!result) {
            if (!(poll.asked() && result.error().kind() == ErrorKind::GaveUp)) {
                raise_engine_error(result.error());
                return -1;
            }
        } else if (*result == RoundEnd::Done) {
            return 0;
        }
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

}  // namespace tessarune::python
