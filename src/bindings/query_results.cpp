#include "bindings/query_results.hpp"

#include <array>
#include <string>

#include "bindings/pyutil/args.hpp"
#include "bindings/pyutil/box.hpp"
#include "bindings/pyutil/convert.hpp"
#include "bindings/pyutil/errors.hpp"
#include "bindings/pyutil/repr.hpp"
#include "pipeline/result_json.hpp"

namespace korvane::py {
namespace {

using pipeline::GlobSummary;
using pipeline::NearestResult;
using pipeline::PathResult;
using pipeline::PipelinePathStep;
using pipeline::SlicingManifold;

PyTypeObject* g_hit_type = nullptr;
PyTypeObject* g_path_type = nullptr;
PyTypeObject* g_step_type = nullptr;
PyTypeObject* g_glob_type = nullptr;
PyTypeObject* g_manifold_type = nullptr;

PyObject* vec3(const std::array<double, 3>& v) { return Py_BuildValue("[ddd]", v[0], v[1], v[2]); }

// ---- shared JSON methods ---------------------------------------------------------------------

template <class T>
PyObject* to_json_method(PyObject* self, PyObject*) {
    return guarded([&] { return to_python(std::string_view(pipeline::to_json(unbox<T>(self)))); });
}

constexpr std::array<Param, 1> kJsonParam{required("json")};

template <class T, auto Read, PyTypeObject** Type>
PyObject* from_json_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<1> a;
        if (!parse_args("from_json", kJsonParam, args, nargs, kwnames, a)) return nullptr;
        std::string text;
        if (!to_string(a[0], "from_json", "json", text)) return nullptr;
        auto read = Read(text);
        if (!read) return raise_value_error(read.error());
        return box(*Type, std::move(read).value());
    });
}

#define KORVANE_JSON_METHODS(T, READ, TYPE)                                                              \
    {"to_json", to_json_method<T>, METH_NOARGS,                                                        \
     "to_json($self)\n--\n\nThis result as one compact JSON object, keys in alphabetical order."},      \
    {                                                                                                  \
        "from_json", as_method<from_json_method<T, READ, TYPE>>(), kFastcall | METH_STATIC,            \
            "from_json(json)\n--\n\nRead a result back from the JSON that to_json wrote."              \
    }

// ---- NearestHit --------------------------------------------------------------------------------

PyObject* hit_repr(PyObject* self) {
    const auto& h = unbox<NearestResult>(self);
    return ReprBuilder("NearestHit").string("id", h.id).string("category", h.category).fixed("distance", h.distance, 4).build();
}

PyObject* hit_id(PyObject* self, void*) { return to_python(std::string_view(unbox<NearestResult>(self).id)); }
PyObject* hit_category(PyObject* self, void*) { return to_python(std::string_view(unbox<NearestResult>(self).category)); }
PyObject* hit_distance(PyObject* self, void*) { return PyFloat_FromDouble(unbox<NearestResult>(self).distance); }
PyObject* hit_certainty(PyObject* self, void*) { return PyFloat_FromDouble(unbox<NearestResult>(self).certainty); }
PyObject* hit_intensity(PyObject* self, void*) { return PyFloat_FromDouble(unbox<NearestResult>(self).intensity); }

PyGetSetDef kHitGetters[] = {
    {"id", hit_id, nullptr, nullptr, nullptr},
    {"category", hit_category, nullptr, nullptr, nullptr},
    {"distance", hit_distance, nullptr, nullptr, nullptr},
    {"certainty", hit_certainty, nullptr, nullptr, nullptr},
    {"intensity", hit_intensity, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kHitMethods[] = {
    KORVANE_JSON_METHODS(NearestResult, pipeline::nearest_from_json, &g_hit_type),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kHitSlots[] = {
    {Py_tp_doc, const_cast<char*>("One nearest-neighbour result: item id, category, angular distance, certainty\n"
                                  "and intensity.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<NearestResult>)},
    {Py_tp_repr, reinterpret_cast<void*>(hit_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<NearestResult>)},
    {Py_tp_getset, kHitGetters},
    {Py_tp_methods, kHitMethods},
    {0, nullptr},
};

// ---- PathStep ----------------------------------------------------------------------------------

PyObject* step_repr(PyObject* self) {
    const auto& s = unbox<PipelinePathStep>(self);
    return ReprBuilder("PathStep")
        .string("id", s.id)
        .string("category", s.category)
        .fixed("cumulative_distance", s.cumulative_distance, 4)
        .fixed("hop", s.hop_distance, 4)
        .build();
}

PyObject* step_id(PyObject* self, void*) { return to_python(std::string_view(unbox<PipelinePathStep>(self).id)); }
PyObject* step_category(PyObject* self, void*) {
    return to_python(std::string_view(unbox<PipelinePathStep>(self).category));
}
PyObject* step_cumulative(PyObject* self, void*) {
    return PyFloat_FromDouble(unbox<PipelinePathStep>(self).cumulative_distance);
}
PyObject* step_hop(PyObject* self, void*) { return PyFloat_FromDouble(unbox<PipelinePathStep>(self).hop_distance); }
PyObject* step_bridge(PyObject* self, void*) {
    const auto& b = unbox<PipelinePathStep>(self).bridge_strength;
    if (!b) Py_RETURN_NONE;
    return PyFloat_FromDouble(*b);
}

PyGetSetDef kStepGetters[] = {
    {"id", step_id, nullptr, nullptr, nullptr},
    {"category", step_category, nullptr, nullptr, nullptr},
    {"cumulative_distance", step_cumulative, nullptr, nullptr, nullptr},
    {"hop_distance", step_hop, nullptr, nullptr, nullptr},
    {"bridge_strength", step_bridge, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kStepMethods[] = {
    KORVANE_JSON_METHODS(PipelinePathStep, pipeline::path_step_from_json, &g_step_type),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStepSlots[] = {
    {Py_tp_doc, const_cast<char*>("One step of a concept path.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PipelinePathStep>)},
    {Py_tp_repr, reinterpret_cast<void*>(step_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<PipelinePathStep>)},
    {Py_tp_getset, kStepGetters},
    {Py_tp_methods, kStepMethods},
    {0, nullptr},
};

// ---- PathResult --------------------------------------------------------------------------------

PyObject* path_repr(PyObject* self) {
    const auto& p = unbox<PathResult>(self);
    return ReprBuilder("PathResult").integer("steps", p.steps.size()).fixed("total_distance", p.total_distance, 4).build();
}

PyObject* path_total(PyObject* self, void*) { return PyFloat_FromDouble(unbox<PathResult>(self).total_distance); }
PyObject* path_steps(PyObject* self, void*) {
    const auto& steps = unbox<PathResult>(self).steps;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(steps.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        PyObject* step = wrap(steps[i]);
        if (!step) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), step);
    }
    return list.release();
}

PyGetSetDef kPathGetters[] = {
    {"total_distance", path_total, nullptr, nullptr, nullptr},
    {"steps", path_steps, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kPathMethods[] = {
    KORVANE_JSON_METHODS(PathResult, pipeline::path_from_json, &g_path_type),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kPathSlots[] = {
    {Py_tp_doc, const_cast<char*>("A concept path: its steps, source first, and its total angular distance.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PathResult>)},
    {Py_tp_repr, reinterpret_cast<void*>(path_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<PathResult>)},
    {Py_tp_getset, kPathGetters},
    {Py_tp_methods, kPathMethods},
    {0, nullptr},
};

// ---- GlobInfo ----------------------------------------------------------------------------------

PyObject* glob_repr(PyObject* self) {
    const auto& g = unbox<GlobSummary>(self);
    return ReprBuilder("GlobInfo").integer("id", g.id).integer("members", g.member_count).fixed("radius", g.radius, 4).build();
}

PyObject* glob_id(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(unbox<GlobSummary>(self).id); }
PyObject* glob_centroid(PyObject* self, void*) { return vec3(unbox<GlobSummary>(self).centroid); }
PyObject* glob_members(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(unbox<GlobSummary>(self).member_count); }
PyObject* glob_radius(PyObject* self, void*) { return PyFloat_FromDouble(unbox<GlobSummary>(self).radius); }
PyObject* glob_top(PyObject* self, void*) {
    const auto& top = unbox<GlobSummary>(self).top_categories;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(top.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < top.size(); ++i) {
        PyObject* pair = Py_BuildValue("(s#K)", top[i].first.data(), static_cast<Py_ssize_t>(top[i].first.size()),
                                       static_cast<unsigned long long>(top[i].second));
        if (!pair) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
}

PyGetSetDef kGlobGetters[] = {
    {"id", glob_id, nullptr, nullptr, nullptr},
    {"centroid", glob_centroid, nullptr, nullptr, nullptr},
    {"member_count", glob_members, nullptr, nullptr, nullptr},
    {"radius", glob_radius, nullptr, nullptr, nullptr},
    {"top_categories", glob_top, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kGlobMethods[] = {
    KORVANE_JSON_METHODS(GlobSummary, pipeline::glob_from_json, &g_glob_type),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kGlobSlots[] = {
    {Py_tp_doc, const_cast<char*>("A dense region of the projected corpus.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<GlobSummary>)},
    {Py_tp_repr, reinterpret_cast<void*>(glob_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<GlobSummary>)},
    {Py_tp_getset, kGlobGetters},
    {Py_tp_methods, kGlobMethods},
    {0, nullptr},
};

// ---- ManifoldInfo ------------------------------------------------------------------------------

// Only centroid, normal and variance ratio reach Python, so only they decide equality.
bool same_manifold(const SlicingManifold& a, const SlicingManifold& b) {
    return a.centroid == b.centroid && a.normal == b.normal && a.variance_ratio == b.variance_ratio;
}

PyObject* manifold_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = same_manifold(unbox<SlicingManifold>(a), unbox<SlicingManifold>(b));
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyObject* manifold_repr(PyObject* self) {
    return ReprBuilder("ManifoldInfo").fixed("variance_ratio", unbox<SlicingManifold>(self).variance_ratio, 4).build();
}

PyObject* manifold_centroid(PyObject* self, void*) { return vec3(unbox<SlicingManifold>(self).centroid); }
PyObject* manifold_normal(PyObject* self, void*) { return vec3(unbox<SlicingManifold>(self).normal); }
PyObject* manifold_ratio(PyObject* self, void*) { return PyFloat_FromDouble(unbox<SlicingManifold>(self).variance_ratio); }

PyGetSetDef kManifoldGetters[] = {
    {"centroid", manifold_centroid, nullptr, nullptr, nullptr},
    {"normal", manifold_normal, nullptr, nullptr, nullptr},
    {"variance_ratio", manifold_ratio, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kManifoldMethods[] = {
    KORVANE_JSON_METHODS(SlicingManifold, pipeline::manifold_from_json, &g_manifold_type),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kManifoldSlots[] = {
    {Py_tp_doc, const_cast<char*>("A plane fitted through the items around a query point.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SlicingManifold>)},
    {Py_tp_repr, reinterpret_cast<void*>(manifold_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(manifold_richcompare)},
    {Py_tp_getset, kManifoldGetters},
    {Py_tp_methods, kManifoldMethods},
    {0, nullptr},
};

template <class T>
PyType_Spec result_spec(const char* name, PyType_Slot* slots) {
    return {name, sizeof(Box<T>), 0, box_flags<T>() | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
}

PyType_Spec kHitSpec = result_spec<NearestResult>("korvane.NearestHit", kHitSlots);
PyType_Spec kPathSpec = result_spec<PathResult>("korvane.PathResult", kPathSlots);
PyType_Spec kStepSpec = result_spec<PipelinePathStep>("korvane.PathStep", kStepSlots);
PyType_Spec kGlobSpec = result_spec<GlobSummary>("korvane.GlobInfo", kGlobSlots);
PyType_Spec kManifoldSpec = result_spec<SlicingManifold>("korvane.ManifoldInfo", kManifoldSlots);

}  // namespace

PyObject* wrap(const NearestResult& hit) {
    NearestResult carried = hit;
    carried.confidence = {};
    return box(g_hit_type, std::move(carried));
}
PyObject* wrap(const PathResult& path) { return box(g_path_type, path); }
PyObject* wrap(const PipelinePathStep& step) { return box(g_step_type, step); }
PyObject* wrap(const GlobSummary& glob) { return box(g_glob_type, glob); }
PyObject* wrap(const SlicingManifold& manifold) { return box(g_manifold_type, manifold); }

bool add_query_result_types(PyObject* module) {
    return (g_hit_type = add_type(module, kHitSpec)) && (g_path_type = add_type(module, kPathSpec)) &&
           (g_step_type = add_type(module, kStepSpec)) && (g_glob_type = add_type(module, kGlobSpec)) &&
           (g_manifold_type = add_type(module, kManifoldSpec));
}

}  // namespace korvane::py
