// Releasing the interpreter lock around long core work.
#pragma once

#include "bindings/pyutil/ref.hpp"

#include <utility>

namespace korvane::py {

// Delivers log events the core emitted while no thread could call into Python.
void flush_log_events();

// Release only after every argument is converted; the lock is back before any result object is
// built, and queued log events reach Python's logging right then.
class GilRelease {
public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() {
        PyEval_RestoreThread(state_);
        flush_log_events();
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

template <class F>
decltype(auto) without_gil(F&& work) {
    GilRelease release;
    return std::forward<F>(work)();
}

}  // namespace korvane::py
