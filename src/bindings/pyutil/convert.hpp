// Converters from Python objects to plain values. Each returns false with a Python exception
// set when the object does not convert; the messages name the function and the argument.
#pragma once

#include "bindings/pyutil/ref.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::py {

// Python's number protocol: a float as it is, otherwise __float__, or __index__ for integers.
bool to_f64(PyObject* object, const char* function, const char* arg, double& out);

// Unsigned 64-bit counts: a negative or too large value raises OverflowError, a non-integer
// TypeError.
bool to_u64(PyObject* object, const char* function, const char* arg, std::uint64_t& out);

// Only bool (and NumPy's bool) are accepted, so a stray 0 or "" is not silently taken as False.
bool to_bool(PyObject* object, const char* function, const char* arg, bool& out);

bool to_string(PyObject* object, const char* function, const char* arg, std::string& out);

// Raises TypeError "f() argument 'a' must be SphericalPoint, not str" unless `object` is an
// instance of `type`.
bool check_instance(PyObject* object, PyTypeObject* type, const char* function, const char* arg);

PyObject* to_python(double value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(std::string_view value);

}  // namespace korvane::py
