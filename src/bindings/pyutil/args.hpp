// Argument parsing for METH_FASTCALL | METH_KEYWORDS callables, driven by a table of parameters.
#pragma once

#include "bindings/pyutil/ref.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace korvane::py {

struct Param {
    const char* name;
    bool required = true;
    bool keyword_only = false;
};

inline constexpr Param required(const char* name) { return {name, true, false}; }
inline constexpr Param optional(const char* name) { return {name, false, false}; }
inline constexpr Param keyword(const char* name) { return {name, false, true}; }

// Fills `out[i]` with a borrowed reference to parameter i's argument, or nullptr when an optional
// one is absent. On failure sets a TypeError worded like CPython's own and returns false.
bool parse_args(const char* function, std::span<const Param> params, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

template <std::size_t N>
struct Args {
    std::array<PyObject*, N> values{};
    PyObject* operator[](std::size_t i) const noexcept { return values[i]; }
    // A None argument counts as absent: the callee's own default applies.
    bool given(std::size_t i) const noexcept { return values[i] != nullptr && values[i] != Py_None; }
};

template <std::size_t N>
bool parse_args(const char* function, const std::array<Param, N>& params, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, Args<N>& out) {
    return parse_args(function, std::span<const Param>(params), args, nargs, kwnames, out.values.data());
}

// The same rules for tp_new-style calls (a tuple and an optional dict).
bool parse_call_args(const char* function, std::span<const Param> params, PyObject* args, PyObject* kwargs,
                     PyObject** out);

template <std::size_t N>
bool parse_call_args(const char* function, const std::array<Param, N>& params, PyObject* args, PyObject* kwargs,
                     Args<N>& out) {
    return parse_call_args(function, std::span<const Param>(params), args, kwargs, out.values.data());
}

// METH_FASTCALL | METH_KEYWORDS functions stored in a PyMethodDef.
using FastcallFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

template <FastcallFunction F>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

}  // namespace korvane::py
