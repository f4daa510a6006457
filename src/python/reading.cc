// sort(), encoded() and close(): starting a read that an iterator serves, and ending a sorter.

#include <memory>

#include "python/arg_binding.h"
#include "python/core_lock.h"
#include "python/errors.h"
#include "python/read_start.h"
#include "python/sorted_iterator.h"

namespace tessarune::python {
namespace {

SorterObject* as_sorter(PyObject* self) { return reinterpret_cast<SorterObject*>(self); }

PyObject* start_iteration(SorterObject* self, Ref decode_fn) {
    if (!start_reading(self, /*keep=*/true, nullptr)) return nullptr;
    return new_sorted_iterator(Py_TYPE(self), self->core, std::move(decode_fn));
}

// Takes the engine state out under the mutex, then releases it outside the mutex: joining a
// spill and removing files must not keep other threads from the sorter. Both happen
// detached, since either can take long. Returns false with an exception set when the call
// is reentrant or a signal handler raised while it waited for the mutex.
bool close_core(SorterCore& core) {
    CoreLock lock(core, CoreLock::How::Detached);
    if (!lock.locked()) {
        lock.raise_not_locked();
        return false;
    }
    std::unique_ptr<EngineState> old = core.take_state_for_close();
    lock.unlock();
    old.reset();
    return true;
}

}  // namespace

PyObject* sorter_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static constexpr const char* kNames[] = {"items"};
    static constexpr ArgSpec kSpec{"Sorter.sort()", kNames, 1, 1, 0};
    SorterObject* sorter = as_sorter(self);
    return call_guarded([&]() -> PyObject* {
        PyObject* bound[1];
        if (bind_fastcall(kSpec, args, nargs, kwnames, bound) < 0) return nullptr;
        if (bound[0] != nullptr && bound[0] != Py_None) {
            if (sorter_add_items(sorter, bound[0]) < 0) return nullptr;
        }
        return start_iteration(sorter, Ref::borrow(sorter->decode_fn));
    });
}

PyObject* sorter_encoded(PyObject* self, PyObject* /*unused*/) {
    SorterObject* sorter = as_sorter(self);
    return call_guarded([&]() -> PyObject* { return start_iteration(sorter, Ref()); });
}

PyObject* sorter_close(PyObject* self, PyObject* /*unused*/) {
    SorterObject* sorter = as_sorter(self);
    return call_guarded([&]() -> PyObject* {
        // Closed before anything else, so that even a refused (reentrant) close keeps every
        // later call out.
        sorter->status.store(SorterStatus::Closed);
        if (!close_core(*sorter->core)) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace tessarune::python
