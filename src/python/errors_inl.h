#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace tessarune::python {

template <typename F>
auto call_guarded(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const InternalError& e) {
        raise_internal_error(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a size beyond anything that could be allocated
    } catch (const abi::__forced_unwind&) {
        throw;  // a thread being torn down must keep unwinding
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error("an unknown C++ exception");
    }
    using R = decltype(f());
    if constexpr (std::is_same_v<R, int>) {
        return -1;
    } else {
        return nullptr;
    }
}

}  // namespace tessarune::python
