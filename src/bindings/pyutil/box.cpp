#include "bindings/pyutil/box.hpp"

namespace korvane::py {

PyTypeObject* add_type(PyObject* module, PyType_Spec& spec) {
    PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
    if (!type) return nullptr;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type)) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

bool add_function(PyObject* module, PyMethodDef& def) {
    // Functions report the package as their module, like the classes do.
    Ref module_name = Ref::steal(PyUnicode_FromString("korvane"));
    if (!module_name) return false;
    Ref function = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return false;
    return PyModule_AddObjectRef(module, def.ml_name, function.get()) == 0;
}

}  // namespace korvane::py
