#include "bindings/pyutil/args.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "bindings/pyutil/errors.hpp"

namespace korvane::py {
namespace {

std::size_t positional_capacity(std::span<const Param> params) {
    std::size_t n = 0;
    while (n < params.size() && !params[n].keyword_only) ++n;
    return n;
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

bool parse_args(const char* function, std::span<const Param> params, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    const std::size_t capacity = positional_capacity(params);
    for (std::size_t i = 0; i < params.size(); ++i) out[i] = nullptr;

    if (given > capacity) {
        raise_type_error(std::string(function) + "() takes " +
                         plural(capacity, "positional argument") + " but " + std::to_string(given) +
                         (given == 1 ? " was" : " were") + " given");
        return false;
    }
    for (std::size_t i = 0; i < given; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t key_len = 0;
        const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_len);
        if (!key_text) return false;
        std::size_t index = params.size();
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (std::strlen(params[i].name) == static_cast<std::size_t>(key_len) &&
                std::memcmp(params[i].name, key_text, static_cast<std::size_t>(key_len)) == 0) {
                index = i;
                break;
            }
        }
        if (index == params.size()) {
            raise_type_error(std::string(function) + "() got an unexpected keyword argument '" +
                             std::string(key_text, static_cast<std::size_t>(key_len)) + "'");
            return false;
        }
        if (out[index]) {
            raise_type_error("argument for " + std::string(function) + "() given by name ('" +
                             params[index].name + "') and position (" + std::to_string(index + 1) + ")");
            return false;
        }
        out[index] = args[nargs + k];
    }

    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].required && !out[i]) {
            raise_type_error(std::string(function) + "() missing required argument '" + params[i].name +
                             "' (pos " + std::to_string(i + 1) + ")");
            return false;
        }
    }
    return true;
}

bool parse_call_args(const char* function, std::span<const Param> params, PyObject* args, PyObject* kwargs,
                     PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject** items = PySequence_Fast_ITEMS(args);
    std::vector<PyObject*> stack(items, items + nargs);
    Ref kwnames;
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!kwnames) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(key));
            stack.push_back(value);
        }
    }
    return parse_args(function, params, stack.data(), nargs, kwnames.get(), out);
}

}  // namespace korvane::py
