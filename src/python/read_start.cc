#include "python/read_start.h"

#include <optional>
#include <utility>

#include "python/core_lock.h"
#include "python/errors.h"

namespace tessarune::python {

bool start_reading(SorterObject* self, bool keep, std::unique_ptr<FinalMerge>* merger) {
    SorterCore& core = *self->core;
    SignalPoll poll(core);
    std::optional<EngineError> failure;
    {
        CoreLock lock(core, CoreLock::How::Detached);
        if (!lock.locked()) {
            lock.raise_not_locked();
            return false;
        }
        EngineResult<std::unique_ptr<FinalMerge>> started = core.start_read(self->status, keep, poll);
        if (started.ok()) {
            if (merger != nullptr) *merger = std::move(started).value();
        } else {
            failure.emplace(std::move(started).error());
        }
    }  // unlocked first, attached after
    if (!failure) return true;
    raise_engine_error(*failure, &poll);
    return false;
}

}  // namespace tessarune::python
