#pragma once

#include <new>

namespace tessarune::python {

template <typename F>
auto call_guarded(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const InternalError& e) {
        raise_internal_error(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    using R = decltype(f());
    if constexpr (std::is_same_v<R, int>) {
        return -1;
    } else {
        return nullptr;
    }
}

}  // namespace tessarune::python
