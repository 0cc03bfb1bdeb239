// The category result classes: CategorySummaryInfo, BridgeItemInfo, CategoryPathStep,
// CategoryPathResult, DrillDownHit, InnerSphereInfo, DomainGroupInfo, ProjectionWarningInfo.
#pragma once

#include "bindings/pyutil/ref.hpp"
#include "category/layer.hpp"
#include "category/warnings.hpp"

namespace korvane::py {

bool add_category_result_types(PyObject* module);

PyObject* wrap(const category::CategorySummary& summary);
PyObject* wrap(const category::BridgeItem& bridge);
PyObject* wrap(const category::CategoryPathStep& step);
PyObject* wrap(const category::CategoryPath& path);
PyObject* wrap(const category::DrillDownHit& hit);
PyObject* wrap(const category::InnerSphereReport& report);
PyObject* wrap(const category::DomainGroup& group);
PyObject* wrap(const category::ProjectionWarning& warning);

// A list of wrapped records, in order.
template <class Items>
PyObject* wrap_list(const Items& items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& item : items) {
        PyObject* object = wrap(item);
        if (!object) return nullptr;
        PyList_SET_ITEM(list.get(), i++, object);
    }
    return list.release();
}

}  // namespace korvane::py
