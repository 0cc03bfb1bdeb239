// A value-or-error return type for the core libraries, which never throw across their API.
#pragma once

#include <utility>
#include <variant>

namespace korvane {

template <class E>
struct Err {
    E error;
};

template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Err<F> err) : state_(std::in_place_index<1>, std::move(err.error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

// For operations that succeed without a value.
struct Unit {};

}  // namespace korvane
