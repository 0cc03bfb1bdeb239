#include "bindings/pyutil/json_convert.hpp"

#include "bindings/pyutil/errors.hpp"
#include "common/json_reader.hpp"

namespace korvane::py {
namespace {

bool convert(PyObject* object, json::Value& out, std::size_t depth) {
    if (depth > json::kMaxDepth) {
        raise_value_error("nesting too deep");
        return false;
    }
    if (object == Py_None) {
        out = json::Value();
        return true;
    }
    if (PyBool_Check(object)) {
        out = json::Value(object == Py_True);
        return true;
    }
    if (PyLong_Check(object)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (overflow == 0) {
            if (value == -1 && PyErr_Occurred()) return false;
            out = value >= 0 ? json::Value(static_cast<std::uint64_t>(value)) : json::Value(static_cast<std::int64_t>(value));
            return true;
        }
        if (overflow > 0) {
            const unsigned long long big = PyLong_AsUnsignedLongLong(object);
            if (!PyErr_Occurred()) {
                out = json::Value(static_cast<std::uint64_t>(big));
                return true;
            }
            PyErr_Clear();
        }
        // Beyond 64 bits a number is only a float, as in JSON text.
        const double wide = PyLong_AsDouble(object);
        if (wide == -1.0 && PyErr_Occurred()) return false;
        out = json::Value(wide);
        return true;
    }
    if (PyFloat_Check(object)) {
        out = json::Value(PyFloat_AS_DOUBLE(object));
        return true;
    }
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(object, &size);
        if (!text) return false;
        out = json::Value(std::string(text, static_cast<std::size_t>(size)));
        return true;
    }
    if (PyDict_Check(object)) {
        json::Object members;
        bool ok = true;
        Py_BEGIN_CRITICAL_SECTION(object);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (ok && PyDict_Next(object, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                raise_type_error("dict keys must be str, not " + type_name(key));
                ok = false;
                break;
            }
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &size);
            json::Value converted;
            Ref hold = Ref::borrow(value);  // the dict may change under a callback
            ok = text && convert(value, converted, depth + 1);
            if (ok) members.push_back({std::string(text, static_cast<std::size_t>(size)), std::move(converted)});
        }
        Py_END_CRITICAL_SECTION();
        if (!ok) return false;
        out = json::Value(std::move(members));
        return true;
    }
    if (PyList_Check(object) || PyTuple_Check(object)) {
        Ref items = Ref::steal(PySequence_Tuple(object));  // a snapshot, safe against mutation
        if (!items) return false;
        json::Array elements;
        elements.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
            json::Value converted;
            if (!convert(PyTuple_GET_ITEM(items.get(), i), converted, depth + 1)) return false;
            elements.push_back(std::move(converted));
        }
        out = json::Value(std::move(elements));
        return true;
    }
    // NumPy scalars and other numbers.
    if (PyIndex_Check(object)) {
        Ref index = Ref::steal(PyNumber_Index(object));
        return index && convert(index.get(), out, depth);
    }
    if (PyNumber_Check(object)) {
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) return false;
        out = json::Value(value);
        return true;
    }
    raise_type_error("cannot convert " + type_name(object) + " to a JSON value");
    return false;
}

}  // namespace

bool to_json_value(PyObject* object, json::Value& out) { return convert(object, out, 0); }

PyObject* from_json_value(const json::Value& value) {
    switch (value.kind()) {
        case json::Kind::Null: Py_RETURN_NONE;
        case json::Kind::Bool: return PyBool_FromLong(*value.as_bool());
        case json::Kind::Int: return PyLong_FromLongLong(*value.as_int64());
        case json::Kind::UInt: return PyLong_FromUnsignedLongLong(*value.as_uint64());
        case json::Kind::Float: return PyFloat_FromDouble(*value.as_double());
        case json::Kind::String: {
            const std::string& s = *value.as_string();
            return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        }
        case json::Kind::Array: {
            const json::Array& items = *value.as_array();
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < items.size(); ++i) {
                PyObject* item = from_json_value(items[i]);
                if (!item) return nullptr;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
            }
            return list.release();
        }
        case json::Kind::Object: {
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return nullptr;
            for (const auto& member : *value.as_object()) {
                Ref key = Ref::steal(
                    PyUnicode_FromStringAndSize(member.key.data(), static_cast<Py_ssize_t>(member.key.size())));
                Ref item = Ref::steal(from_json_value(member.value));
                if (!key || !item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
            }
            return dict.release();
        }
    }
    return raise(PyExc_RuntimeError, "unknown JSON value kind");
}

}  // namespace korvane::py
