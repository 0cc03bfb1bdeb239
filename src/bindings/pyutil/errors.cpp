#include "bindings/pyutil/errors.hpp"

namespace korvane::py {

std::string type_name(PyObject* object) {
    const char* name = Py_TYPE(object)->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    return name;
}

}  // namespace korvane::py
