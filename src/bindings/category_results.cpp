#include "bindings/category_results.hpp"

#include "bindings/wrap.hpp"

#include <string>

#include "bindings/pyutil/box.hpp"
#include "bindings/pyutil/convert.hpp"
#include "bindings/pyutil/repr.hpp"

namespace korvane::py {
namespace {

using category::BridgeItem;
using category::CategoryPath;
using category::CategoryPathStep;
using category::DomainGroup;
using category::InnerSphereReport;
using category::ProjectionWarning;
using DrillHit = category::DrillDownHit;

// What a CategorySummaryInfo shows; equality compares exactly these seven values.
struct SummaryInfo {
    std::string name;
    std::uint64_t member_count = 0;
    double centroid_theta = 0.0;
    double centroid_phi = 0.0;
    double angular_spread = 0.0;
    double cohesion = 0.0;
    double bridge_quality = 0.0;
    friend bool operator==(const SummaryInfo&, const SummaryInfo&) = default;
};

PyTypeObject* g_summary_type = nullptr;
PyTypeObject* g_bridge_type = nullptr;
PyTypeObject* g_step_type = nullptr;
PyTypeObject* g_path_type = nullptr;
PyTypeObject* g_drill_type = nullptr;
PyTypeObject* g_sphere_type = nullptr;
PyTypeObject* g_group_type = nullptr;
PyTypeObject* g_warning_type = nullptr;

PyObject* str(const std::string& s) { return to_python(std::string_view(s)); }
PyObject* str(std::string_view s) { return to_python(s); }

#define KORVANE_GET(T, NAME, EXPR)                                                        \
    PyObject* NAME(PyObject* self, void*) {                                               \
        const auto& v = unbox<T>(self);                                                   \
        return EXPR;                                                                      \
    }

// ---- CategorySummaryInfo -----------------------------------------------------------------------

KORVANE_GET(SummaryInfo, summary_name, str(v.name))
KORVANE_GET(SummaryInfo, summary_members, PyLong_FromUnsignedLongLong(v.member_count))
KORVANE_GET(SummaryInfo, summary_theta, PyFloat_FromDouble(v.centroid_theta))
KORVANE_GET(SummaryInfo, summary_phi, PyFloat_FromDouble(v.centroid_phi))
KORVANE_GET(SummaryInfo, summary_spread, PyFloat_FromDouble(v.angular_spread))
KORVANE_GET(SummaryInfo, summary_cohesion, PyFloat_FromDouble(v.cohesion))
KORVANE_GET(SummaryInfo, summary_bridge_quality, PyFloat_FromDouble(v.bridge_quality))

PyObject* summary_repr(PyObject* self) {
    const auto& v = unbox<SummaryInfo>(self);
    return ReprBuilder("CategorySummaryInfo")
        .string("name", v.name)
        .integer("members", v.member_count)
        .fixed("cohesion", v.cohesion, 4)
        .fixed("bridge_quality", v.bridge_quality, 4)
        .build();
}

PyGetSetDef kSummaryGetters[] = {
    {"name", summary_name, nullptr, nullptr, nullptr},
    {"member_count", summary_members, nullptr, nullptr, nullptr},
    {"centroid_theta", summary_theta, nullptr, nullptr, nullptr},
    {"centroid_phi", summary_phi, nullptr, nullptr, nullptr},
    {"angular_spread", summary_spread, nullptr, nullptr, nullptr},
    {"cohesion", summary_cohesion, nullptr, nullptr, nullptr},
    {"bridge_quality", summary_bridge_quality, nullptr,
     "Mean territorial-adjusted bridge strength across outgoing edges.\n0.0 if this category has no bridged neighbors.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSummarySlots[] = {
    {Py_tp_doc, const_cast<char*>("A category's summary: size, centroid direction, spread, cohesion and bridge quality.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SummaryInfo>)},
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<SummaryInfo>)},
    {Py_tp_getset, kSummaryGetters},
    {0, nullptr},
};

// ---- BridgeItemInfo ----------------------------------------------------------------------------

KORVANE_GET(BridgeItem, bridge_item, PyLong_FromUnsignedLongLong(v.item_index))
KORVANE_GET(BridgeItem, bridge_source, PyLong_FromUnsignedLongLong(v.source_category))
KORVANE_GET(BridgeItem, bridge_target, PyLong_FromUnsignedLongLong(v.target_category))
KORVANE_GET(BridgeItem, bridge_affinity_source, PyFloat_FromDouble(v.affinity_to_source))
KORVANE_GET(BridgeItem, bridge_affinity_target, PyFloat_FromDouble(v.affinity_to_target))
KORVANE_GET(BridgeItem, bridge_strength, PyFloat_FromDouble(v.bridge_strength))
KORVANE_GET(BridgeItem, bridge_classification, str(category::display_name(v.classification)))

PyObject* bridge_relation(PyObject* self, void*) {
    const auto& relation = unbox<BridgeItem>(self).relation;
    if (!relation) Py_RETURN_NONE;
    return str(category::display_name(*relation));
}

PyObject* bridge_repr(PyObject* self) {
    const auto& v = unbox<BridgeItem>(self);
    return ReprBuilder("BridgeItemInfo")
        .integer("item", v.item_index)
        .integer("src", v.source_category)
        .integer("tgt", v.target_category)
        .fixed("strength", v.bridge_strength, 4)
        .raw("class", category::display_name(v.classification))
        .build();
}

PyGetSetDef kBridgeGetters[] = {
    {"item_index", bridge_item, nullptr, nullptr, nullptr},
    {"source_category", bridge_source, nullptr, nullptr, nullptr},
    {"target_category", bridge_target, nullptr, nullptr, nullptr},
    {"affinity_to_source", bridge_affinity_source, nullptr, nullptr, nullptr},
    {"affinity_to_target", bridge_affinity_target, nullptr, nullptr, nullptr},
    {"bridge_strength", bridge_strength, nullptr, nullptr, nullptr},
    {"classification", bridge_classification, nullptr, "One of \"Genuine\", \"OverlapArtifact\", or \"Weak\".", nullptr},
    {"relation", bridge_relation, nullptr,
     "Inferred semantic relation as a snake_case string (e.g.\n\"studies\", \"applies_to\", \"shared_method\"), or "
     "None if no relation\nwas inferred for this bridge.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBridgeSlots[] = {
    {Py_tp_doc, const_cast<char*>("An item that links its category to a foreign one.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<BridgeItem>)},
    {Py_tp_repr, reinterpret_cast<void*>(bridge_repr)},
    {Py_tp_getset, kBridgeGetters},
    {0, nullptr},
};

// ---- CategoryPathStep --------------------------------------------------------------------------

KORVANE_GET(CategoryPathStep, step_index, PyLong_FromUnsignedLongLong(v.category_index))
KORVANE_GET(CategoryPathStep, step_name, str(v.category_name))
KORVANE_GET(CategoryPathStep, step_cumulative, PyFloat_FromDouble(v.cumulative_distance))
KORVANE_GET(CategoryPathStep, step_bridges, wrap_list(v.bridges_to_next))
KORVANE_GET(CategoryPathStep, step_confidence, PyFloat_FromDouble(v.hop_confidence))

PyObject* step_repr(PyObject* self) {
    const auto& v = unbox<CategoryPathStep>(self);
    return ReprBuilder("CategoryPathStep")
        .string("category", v.category_name)
        .fixed("distance", v.cumulative_distance, 4)
        .integer("bridges", v.bridges_to_next.size())
        .fixed("hop_conf", v.hop_confidence, 4)
        .build();
}

PyGetSetDef kStepGetters[] = {
    {"category_index", step_index, nullptr, nullptr, nullptr},
    {"category_name", step_name, nullptr, nullptr, nullptr},
    {"cumulative_distance", step_cumulative, nullptr, nullptr, nullptr},
    {"bridges_to_next", step_bridges, nullptr, nullptr, nullptr},
    {"hop_confidence", step_confidence, nullptr,
     "Spatial confidence of this hop: bridge_strength × territorial_factor.\n0.0 for the last step.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kStepSlots[] = {
    {Py_tp_doc, const_cast<char*>("One category on a category path.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<CategoryPathStep>)},
    {Py_tp_repr, reinterpret_cast<void*>(step_repr)},
    {Py_tp_getset, kStepGetters},
    {0, nullptr},
};

// ---- CategoryPathResult ------------------------------------------------------------------------

KORVANE_GET(CategoryPath, path_total, PyFloat_FromDouble(v.total_distance))
KORVANE_GET(CategoryPath, path_steps, wrap_list(v.steps))
KORVANE_GET(CategoryPath, path_confidence, PyFloat_FromDouble(v.path_confidence))

PyObject* path_repr(PyObject* self) {
    const auto& v = unbox<CategoryPath>(self);
    return ReprBuilder("CategoryPathResult")
        .integer("steps", v.steps.size())
        .fixed("total_distance", v.total_distance, 4)
        .fixed("path_conf", v.path_confidence, 4)
        .build();
}

PyGetSetDef kPathGetters[] = {
    {"total_distance", path_total, nullptr, nullptr, nullptr},
    {"steps", path_steps, nullptr, nullptr, nullptr},
    {"path_confidence", path_confidence, nullptr,
     "Product of all hop confidences along the path. Low values indicate\nthe path routes through shaky connections.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPathSlots[] = {
    {Py_tp_doc, const_cast<char*>("The cheapest route between two categories through the category graph.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<CategoryPath>)},
    {Py_tp_repr, reinterpret_cast<void*>(path_repr)},
    {Py_tp_getset, kPathGetters},
    {0, nullptr},
};

// ---- DrillDownHit ------------------------------------------------------------------------------

KORVANE_GET(DrillHit, drill_item, PyLong_FromUnsignedLongLong(v.item_index))
KORVANE_GET(DrillHit, drill_distance, PyFloat_FromDouble(v.distance))
KORVANE_GET(DrillHit, drill_inner, PyBool_FromLong(v.used_inner_sphere))

PyObject* drill_repr(PyObject* self) {
    const auto& v = unbox<DrillHit>(self);
    return ReprBuilder("DrillDownHit")
        .integer("item", v.item_index)
        .fixed("distance", v.distance, 4)
        .raw("inner", v.used_inner_sphere ? "true" : "false")
        .build();
}

PyGetSetDef kDrillGetters[] = {
    {"item_index", drill_item, nullptr, nullptr, nullptr},
    {"distance", drill_distance, nullptr, nullptr, nullptr},
    {"used_inner_sphere", drill_inner, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kDrillSlots[] = {
    {Py_tp_doc, const_cast<char*>("A category member found by drill-down search.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<DrillHit>)},
    {Py_tp_repr, reinterpret_cast<void*>(drill_repr)},
    {Py_tp_getset, kDrillGetters},
    {0, nullptr},
};

// ---- InnerSphereInfo ---------------------------------------------------------------------------

KORVANE_GET(InnerSphereReport, sphere_name, str(v.category_name))
KORVANE_GET(InnerSphereReport, sphere_index, PyLong_FromUnsignedLongLong(v.category_index))
KORVANE_GET(InnerSphereReport, sphere_members, PyLong_FromUnsignedLongLong(v.member_count))
KORVANE_GET(InnerSphereReport, sphere_type, str(v.projection_type))
KORVANE_GET(InnerSphereReport, sphere_inner_evr, PyFloat_FromDouble(v.inner_evr))
KORVANE_GET(InnerSphereReport, sphere_global_evr, PyFloat_FromDouble(v.global_subset_evr))
KORVANE_GET(InnerSphereReport, sphere_improvement, PyFloat_FromDouble(v.evr_improvement))

PyObject* sphere_repr(PyObject* self) {
    const auto& v = unbox<InnerSphereReport>(self);
    return ReprBuilder("InnerSphereInfo")
        .string("category", v.category_name)
        .integer("members", v.member_count)
        .fixed("evr", v.inner_evr, 4)
        .fixed("improvement", v.evr_improvement, 4)
        .build();
}

PyGetSetDef kSphereGetters[] = {
    {"category_name", sphere_name, nullptr, nullptr, nullptr},
    {"category_index", sphere_index, nullptr, nullptr, nullptr},
    {"member_count", sphere_members, nullptr, nullptr, nullptr},
    {"projection_type", sphere_type, nullptr, nullptr, nullptr},
    {"inner_evr", sphere_inner_evr, nullptr, nullptr, nullptr},
    {"global_subset_evr", sphere_global_evr, nullptr, nullptr, nullptr},
    {"evr_improvement", sphere_improvement, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSphereSlots[] = {
    {Py_tp_doc, const_cast<char*>("A category that received its own inner sphere.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<InnerSphereReport>)},
    {Py_tp_repr, reinterpret_cast<void*>(sphere_repr)},
    {Py_tp_getset, kSphereGetters},
    {0, nullptr},
};

// ---- DomainGroupInfo ---------------------------------------------------------------------------

PyObject* group_members(PyObject* self, void*) {
    const auto& ids = unbox<DomainGroup>(self).member_categories;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        PyObject* id = PyLong_FromUnsignedLongLong(ids[i]);
        if (!id) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
    }
    return list.release();
}

PyObject* group_names(PyObject* self, void*) {
    const auto& names = unbox<DomainGroup>(self).category_names;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* name = str(names[i]);
        if (!name) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
    }
    return list.release();
}

KORVANE_GET(DomainGroup, group_theta, PyFloat_FromDouble(v.centroid.theta))
KORVANE_GET(DomainGroup, group_phi, PyFloat_FromDouble(v.centroid.phi))
KORVANE_GET(DomainGroup, group_spread, PyFloat_FromDouble(v.angular_spread))
KORVANE_GET(DomainGroup, group_cohesion, PyFloat_FromDouble(v.cohesion))
KORVANE_GET(DomainGroup, group_items, PyLong_FromUnsignedLongLong(v.total_items))

PyObject* group_repr(PyObject* self) {
    const auto& v = unbox<DomainGroup>(self);
    return ReprBuilder("DomainGroupInfo")
        .integer("categories", v.member_categories.size())
        .integer("items", v.total_items)
        .fixed("cohesion", v.cohesion, 4)
        .build();
}

PyGetSetDef kGroupGetters[] = {
    {"member_categories", group_members, nullptr, "Indices of member categories in the category layer.", nullptr},
    {"category_names", group_names, nullptr, nullptr, nullptr},
    {"centroid_theta", group_theta, nullptr, nullptr, nullptr},
    {"centroid_phi", group_phi, nullptr, nullptr, nullptr},
    {"angular_spread", group_spread, nullptr, nullptr, nullptr},
    {"cohesion", group_cohesion, nullptr, nullptr, nullptr},
    {"total_items", group_items, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kGroupSlots[] = {
    {Py_tp_doc, const_cast<char*>("A coarse group of related categories.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<DomainGroup>)},
    {Py_tp_repr, reinterpret_cast<void*>(group_repr)},
    {Py_tp_getset, kGroupGetters},
    {0, nullptr},
};

// ---- ProjectionWarningInfo ---------------------------------------------------------------------

KORVANE_GET(ProjectionWarning, warning_message, str(v.message))
KORVANE_GET(ProjectionWarning, warning_evr, PyFloat_FromDouble(v.evr))
KORVANE_GET(ProjectionWarning, warning_severity, str(category::display_name(v.severity)))

PyObject* warning_repr(PyObject* self) {
    const auto& v = unbox<ProjectionWarning>(self);
    return ReprBuilder("ProjectionWarningInfo")
        .raw("severity", category::display_name(v.severity))
        .fixed("evr", v.evr, 4)
        .string("msg", v.message)
        .build();
}

PyGetSetDef kWarningGetters[] = {
    {"message", warning_message, nullptr, nullptr, nullptr},
    {"evr", warning_evr, nullptr, nullptr, nullptr},
    {"severity", warning_severity, nullptr, "\"Info\", \"Warning\", or \"Critical\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kWarningSlots[] = {
    {Py_tp_doc, const_cast<char*>("What the explained variance ratio says about the projection's trustworthiness.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ProjectionWarning>)},
    {Py_tp_repr, reinterpret_cast<void*>(warning_repr)},
    {Py_tp_getset, kWarningGetters},
    {0, nullptr},
};

template <class T>
PyType_Spec snapshot_spec(const char* name, PyType_Slot* slots) {
    return {name, sizeof(Box<T>), 0, box_flags<T>() | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
}

PyType_Spec kSpecs[] = {
    snapshot_spec<SummaryInfo>("korvane.CategorySummaryInfo", kSummarySlots),
    snapshot_spec<BridgeItem>("korvane.BridgeItemInfo", kBridgeSlots),
    snapshot_spec<CategoryPathStep>("korvane.CategoryPathStep", kStepSlots),
    snapshot_spec<CategoryPath>("korvane.CategoryPathResult", kPathSlots),
    snapshot_spec<DrillHit>("korvane.DrillDownHit", kDrillSlots),
    snapshot_spec<InnerSphereReport>("korvane.InnerSphereInfo", kSphereSlots),
    snapshot_spec<DomainGroup>("korvane.DomainGroupInfo", kGroupSlots),
    snapshot_spec<ProjectionWarning>("korvane.ProjectionWarningInfo", kWarningSlots),
};

PyTypeObject** const kTypes[] = {&g_summary_type, &g_bridge_type, &g_step_type,  &g_path_type,
                                 &g_drill_type,   &g_sphere_type, &g_group_type, &g_warning_type};

}  // namespace

PyObject* wrap(const category::CategorySummary& s) {
    return box(g_summary_type, SummaryInfo{s.name, s.member_count, s.centroid_position.theta, s.centroid_position.phi,
                                           s.angular_spread, s.cohesion, s.bridge_quality});
}
PyObject* wrap(const BridgeItem& bridge) { return box(g_bridge_type, bridge); }
PyObject* wrap(const CategoryPathStep& step) { return box(g_step_type, step); }
PyObject* wrap(const CategoryPath& path) { return box(g_path_type, path); }
PyObject* wrap(const DrillHit& hit) { return box(g_drill_type, hit); }
PyObject* wrap(const InnerSphereReport& report) { return box(g_sphere_type, report); }
PyObject* wrap(const DomainGroup& group) { return box(g_group_type, group); }
PyObject* wrap(const ProjectionWarning& warning) { return box(g_warning_type, warning); }

bool add_category_result_types(PyObject* module) {
    for (std::size_t i = 0; i < std::size(kSpecs); ++i)
        if (!(*kTypes[i] = add_type(module, kSpecs[i]))) return false;
    return true;
}

}  // namespace korvane::py
