// Python objects that hold one C++ value, and the slots such heap types share.
#pragma once

#include "bindings/pyutil/ref.hpp"

#include <new>
#include <utility>

namespace korvane::py {

template <class T>
struct Box {
    PyObject_HEAD
    T value;
};

template <class T>
T& unbox(PyObject* object) noexcept {
    return reinterpret_cast<Box<T>*>(object)->value;
}

// A new instance of `type` holding `value`; nullptr with MemoryError set on failure.
template <class T>
PyObject* box(PyTypeObject* type, T value) {
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) return nullptr;
    new (&reinterpret_cast<Box<T>*>(object)->value) T(std::move(value));
    return object;
}

template <class T>
void box_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    unbox<T>(self).~T();
    type->tp_free(self);
    Py_DECREF(type);  // heap-type instances own a reference to their type
}

// Exact equality of the held values against an instance of the same class; anything else,
// and every ordering, is NotImplemented. Without a tp_hash the class becomes unhashable.
template <class T>
PyObject* value_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = unbox<T>(a) == unbox<T>(b);
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

template <class T>
constexpr unsigned box_flags() {
    return Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
}

// Creates the heap type from `spec` and adds it to the module under its short name. Returns a
// new reference the caller keeps for creating instances; nullptr with an exception on failure.
PyTypeObject* add_type(PyObject* module, PyType_Spec& spec);

// Adds a module-level function whose __module__ is the module's name.
bool add_function(PyObject* module, PyMethodDef& def);

}  // namespace korvane::py
