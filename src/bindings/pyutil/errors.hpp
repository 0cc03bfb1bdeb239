// Raising Python exceptions from C++ and keeping C++ exceptions out of the interpreter.
#pragma once

#include "bindings/pyutil/ref.hpp"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace korvane::py {

// Sets the exception and returns nullptr, so call sites can `return raise(...)`.
inline PyObject* raise(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    return nullptr;
}

inline PyObject* raise_value_error(std::string_view message) { return raise(PyExc_ValueError, message); }
inline PyObject* raise_type_error(std::string_view message) { return raise(PyExc_TypeError, message); }

// The qualified-free type name CPython uses in its own messages ("str", "NoneType").
std::string type_name(PyObject* object);

// Runs a binding body; C++ exceptions become Python exceptions instead of terminating.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        return raise(PyExc_RuntimeError, e.what());
    } catch (...) {
        return raise(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace korvane::py
