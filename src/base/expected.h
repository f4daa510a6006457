// A value or an error value: the return type of every engine and storage operation that
// can fail in an expected way. (C++20 has no std::expected.)
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "base/engine_error.h"

namespace tessarune {

template <typename E>
struct Unexpected {
    E error;
};
template <typename E>
Unexpected(E) -> Unexpected<E>;

template <typename T, typename E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    Expected(Unexpected<E> u) : v_(std::in_place_index<1>, std::move(u.error)) {}  // NOLINT

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { TR_CHECK(ok()); return std::get<0>(v_); }
    const T& value() const& { TR_CHECK(ok()); return std::get<0>(v_); }
    T&& value() && { TR_CHECK(ok()); return std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    T& operator*() & { return value(); }

    E& error() & { TR_CHECK(!ok()); return std::get<1>(v_); }
    const E& error() const& { TR_CHECK(!ok()); return std::get<1>(v_); }
    E&& error() && { TR_CHECK(!ok()); return std::get<1>(std::move(v_)); }

private:
    std::variant<T, E> v_;
};

template <typename E>
class [[nodiscard]] Expected<void, E> {
public:
    Expected() = default;
    Expected(Unexpected<E> u) : err_(std::move(u.error)) {}  // NOLINT

    bool ok() const { return !err_.has_value(); }
    explicit operator bool() const { return ok(); }

    E& error() & { TR_CHECK(!ok()); return *err_; }
    const E& error() const& { TR_CHECK(!ok()); return *err_; }
    E&& error() && { TR_CHECK(!ok()); return std::move(*err_); }

private:
    std::optional<E> err_;
};

template <typename T>
using EngineResult = Expected<T, EngineError>;
using EngineStatus = Expected<void, EngineError>;

}  // namespace tessarune

// Inside a function that returns an Expected: the value of an EngineResult expression, or
// its error returned from the function (a GNU statement expression, which g++ supports).
#define TR_TRY(expr)                                                                       \
    __extension__({                                                                        \
        auto tr_result_ = (expr);                                                          \
        if (!tr_result_) return ::tessarune::Unexpected(std::move(tr_result_).error());    \
        std::move(tr_result_).value();                                                     \
    })
// The same for an EngineStatus expression, which has no value.
#define TR_RETURN_IF_ERROR(expr) \
    do { if (auto tr_status_ = (expr); !tr_status_) return ::tessarune::Unexpected(std::move(tr_status_).error()); } while (0)
