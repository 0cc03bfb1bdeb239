#include "bindings/pyutil/convert.hpp"

#include "bindings/pyutil/errors.hpp"

namespace korvane::py {
namespace {

std::string argument_prefix(const char* function, const char* arg) {
    return std::string(function) + "() argument '" + arg + "'";
}

}  // namespace

bool to_f64(PyObject* object, const char* function, const char* arg, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_type_error(argument_prefix(function, arg) + " must be a real number, not " + type_name(object));
        }
        return false;
    }
    out = value;
    return true;
}

bool to_u64(PyObject* object, const char* function, const char* arg, std::uint64_t& out) {
    if (!PyIndex_Check(object)) {
        raise_type_error(argument_prefix(function, arg) + " must be an integer, not " + type_name(object));
        return false;
    }
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            Ref zero = Ref::steal(PyLong_FromLong(0));
            const bool negative = zero && PyObject_RichCompareBool(index.get(), zero.get(), Py_LT) == 1;
            PyErr_Clear();
            raise(PyExc_OverflowError,
                  argument_prefix(function, arg) +
                      (negative ? " must be a non-negative integer" : " is too large for an unsigned 64-bit integer"));
        }
        return false;
    }
    out = value;
    return true;
}

bool to_bool(PyObject* object, const char* function, const char* arg, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    // NumPy's bool_ is not a bool subclass; accept it by name rather than importing NumPy.
    if (std::string(Py_TYPE(object)->tp_name) == "numpy.bool" || std::string(Py_TYPE(object)->tp_name) == "numpy.bool_") {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    raise_type_error(argument_prefix(function, arg) + " must be bool, not " + type_name(object));
    return false;
}

bool to_string(PyObject* object, const char* function, const char* arg, std::string& out) {
    if (!PyUnicode_Check(object)) {
        raise_type_error(argument_prefix(function, arg) + " must be str, not " + type_name(object));
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (!text) return false;
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool check_instance(PyObject* object, PyTypeObject* type, const char* function, const char* arg) {
    if (PyObject_TypeCheck(object, type)) return true;
    const char* expected = type->tp_name;
    if (const char* dot = std::strrchr(expected, '.')) expected = dot + 1;
    raise_type_error(argument_prefix(function, arg) + " must be " + expected + ", not " + type_name(object));
    return false;
}

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* to_python(std::string_view value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

}  // namespace korvane::py
