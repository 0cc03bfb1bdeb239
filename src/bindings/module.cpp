// The extension module: one execution step registers every class and function in order.
#include "bindings/pyutil/ref.hpp"

#include "bindings/category_results.hpp"
#include "bindings/core_types.hpp"
#include "bindings/pipeline.hpp"
#include "bindings/projection.hpp"
#include "bindings/query_results.hpp"
#include "bindings/pyutil/log_bridge.hpp"
#include "bindings/test_hooks.hpp"

namespace {

int exec_module(PyObject* module) {
    korvane::py::install_log_bridge();
    if (!korvane::py::add_core_types(module)) return -1;
    if (!korvane::py::add_projection_types(module)) return -1;
    if (!korvane::py::add_pipeline_type(module)) return -1;
    if (!korvane::py::add_query_result_types(module)) return -1;
    if (!korvane::py::add_category_result_types(module)) return -1;
    if (!korvane::py::add_test_hooks(module)) return -1;
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "korvane",  // m_name
    "",         // m_doc
    0,          // m_size: no per-module state
    nullptr,    // m_methods: functions are added by the exec step, in registration order
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_korvane(void) { return PyModuleDef_Init(&kModule); }
