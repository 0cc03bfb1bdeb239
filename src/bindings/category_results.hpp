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

}  // namespace korvane::py
