#include "bindings/projection.hpp"

#include <array>
#include <vector>

#include "bindings/core_types.hpp"
#include "bindings/embedding_args.hpp"
#include "bindings/pyutil/args.hpp"
#include "bindings/pyutil/box.hpp"
#include "bindings/pyutil/convert.hpp"
#include "bindings/pyutil/errors.hpp"
#include "bindings/pyutil/gil.hpp"
#include "bindings/pyutil/repr.hpp"

namespace korvane::py {
namespace {

using projection::PcaProjection;
using projection::ProjectedPoint;
using projection::RandomProjection;

PyTypeObject* g_pca_type = nullptr;
PyTypeObject* g_random_type = nullptr;


PyObject* raise_projection_error(const projection::ProjectionError& error) {
    return raise_value_error(projection::display(error));
}

// `radial` None means the magnitude strategy.
bool radial_argument(PyObject* object, projection::RadialStrategy& out) {
    out = projection::MagnitudeRadius{};
    if (!object || object == Py_None) return true;
    return parse_radial(object, out);
}

template <class Items, class Wrap>
PyObject* build_list(const Items& items, Wrap&& wrap_item) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = wrap_item(items[i]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// ---- the methods every projection class shares -----------------------------------------------

constexpr std::array<Param, 1> kEmbeddingParam{required("embedding")};
constexpr std::array<Param, 1> kEmbeddingsParam{required("embeddings")};

template <class P>
bool check_dimension(const P& p, std::size_t length) {
    if (auto wrong = projection::check_input_dimension(p, length)) {
        raise_value_error(wrong->display());
        return false;
    }
    return true;
}

template <class P, bool Rich>
PyObject* project_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const char* name = Rich ? "project_rich" : "project";
        Args<1> a;
        if (!parse_args(name, kEmbeddingParam, args, nargs, kwnames, a)) return nullptr;
        std::vector<double> embedding;
        if (!extract_embedding(a[0], name, "embedding", embedding)) return nullptr;
        const P& p = unbox<P>(self);
        if (!check_dimension(p, embedding.size())) return nullptr;
        if constexpr (Rich)
            return wrap(p.project_rich(embedding));
        else
            return wrap(p.project(embedding));
    });
}

template <class P, bool Rich>
PyObject* project_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const char* name = Rich ? "project_rich_batch" : "project_batch";
        Args<1> a;
        if (!parse_args(name, kEmbeddingsParam, args, nargs, kwnames, a)) return nullptr;
        EmbeddingMatrix matrix;
        if (!extract_embeddings_2d(a[0], name, "embeddings", matrix)) return nullptr;
        const P& p = unbox<P>(self);
        const RowsView rows = matrix.rows();
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (!check_dimension(p, rows[i].size())) return nullptr;
        std::vector<ProjectedPoint> points(rows.size());
        without_gil([&] {
            for (std::size_t i = 0; i < rows.size(); ++i) {
                if constexpr (Rich)
                    points[i] = p.project_rich(rows[i]);
                else
                    points[i].position = p.project(rows[i]);
            }
        });
        if constexpr (Rich)
            return build_list(points, [](const ProjectedPoint& q) { return wrap(q); });
        else
            return build_list(points, [](const ProjectedPoint& q) { return wrap(q.position); });
    });
}

template <class P>
PyObject* get_dimensionality(PyObject* self, void*) {
    return PyLong_FromSize_t(unbox<P>(self).dimensionality());
}

template <class P>
PyObject* get_explained_variance_ratio(PyObject* self, void*) {
    return PyFloat_FromDouble(unbox<P>(self).explained_variance_ratio());
}

#define KORVANE_PROJECTION_METHODS(P)                                                                        \
    {"project", as_method<project_one<P, false>>(), kFastcall,                                                \
     "project($self, embedding)\n--\n\nProject one embedding to a SphericalPoint."},                          \
        {"project_rich", as_method<project_one<P, true>>(), kFastcall,                                        \
         "project_rich($self, embedding)\n--\n\nProject one embedding to a ProjectedPoint (position, "        \
         "certainty, intensity,\nprojection magnitude)."},                                                    \
        {"project_batch", as_method<project_many<P, false>>(), kFastcall,                                     \
         "project_batch($self, embeddings)\n--\n\nProject every row, in order, to a list of SphericalPoint."}, \
    {                                                                                                        \
        "project_rich_batch", as_method<project_many<P, true>>(), kFastcall,                                  \
            "project_rich_batch($self, embeddings)\n--\n\nProject every row, in order, to a list of "        \
            "ProjectedPoint."                                                                                 \
    }

// ---- PcaProjection ----------------------------------------------------------------------------

constexpr std::array<Param, 3> kPcaFitParams{required("embeddings"), keyword("radial"), keyword("volumetric")};

PyObject* pca_fit(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<3> a;
        if (!parse_args("fit", kPcaFitParams, args, nargs, kwnames, a)) return nullptr;
        EmbeddingMatrix matrix;
        projection::RadialStrategy radial;
        bool volumetric = false;
        if (!extract_embeddings_2d(a[0], "fit", "embeddings", matrix) || !radial_argument(a[1], radial) ||
            (a[2] && !to_bool(a[2], "fit", "volumetric", volumetric)))
            return nullptr;
        auto fitted = without_gil([&] { return PcaProjection::fit(matrix.rows(), radial); });
        if (!fitted) return raise_projection_error(fitted.error());
        fitted->set_volumetric(volumetric);
        return box(reinterpret_cast<PyTypeObject*>(cls), std::move(*fitted));
    });
}

PyObject* pca_repr(PyObject* self) {
    const auto& p = unbox<PcaProjection>(self);
    return ReprBuilder("PcaProjection")
        .integer("dim", p.dimensionality())
        .fixed("explained_variance", p.explained_variance_ratio(), 4)
        .build();
}

PyMethodDef kPcaMethods[] = {
    {"fit", as_method<pca_fit>(), kFastcall | METH_CLASS,
     "fit($cls, embeddings, *, radial=None, volumetric=False)\n--\n\n"},
    KORVANE_PROJECTION_METHODS(PcaProjection),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPcaGetters[] = {
    {"dimensionality", get_dimensionality<PcaProjection>, nullptr, "Input dimension.", nullptr},
    {"explained_variance_ratio", get_explained_variance_ratio<PcaProjection>, nullptr,
     "Share of the centred training variance the three axes capture, in [0, 1].", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kPcaSlots[] = {
    {Py_tp_doc, const_cast<char*>("Principal component analysis onto three axes, fitted with PcaProjection.fit.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PcaProjection>)},
    {Py_tp_repr, reinterpret_cast<void*>(pca_repr)},
    {Py_tp_methods, kPcaMethods},
    {Py_tp_getset, kPcaGetters},
    {0, nullptr},
};

PyType_Spec kPcaSpec{"korvane.PcaProjection", sizeof(Box<PcaProjection>), 0,
                     box_flags<PcaProjection>() | Py_TPFLAGS_DISALLOW_INSTANTIATION, kPcaSlots};

// ---- RandomProjection -------------------------------------------------------------------------

constexpr std::array<Param, 3> kRandomParams{required("dim"), keyword("radial"), keyword("seed")};

PyObject* random_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Args<3> a;
        if (!parse_call_args("RandomProjection", kRandomParams, args, kwargs, a)) return nullptr;
        std::uint64_t dim = 0, seed = 42;
        projection::RadialStrategy radial;
        if (!to_u64(a[0], "RandomProjection", "dim", dim) || !radial_argument(a[1], radial) ||
            (a[2] && !to_u64(a[2], "RandomProjection", "seed", seed)))
            return nullptr;
        auto made = RandomProjection::make(dim, radial, seed);
        if (!made) return raise_value_error("embedding dimension must be >= 3");
        return box(type, std::move(*made));
    });
}

PyObject* random_repr(PyObject* self) {
    return ReprBuilder("RandomProjection").integer("dim", unbox<RandomProjection>(self).dimensionality()).build();
}

PyMethodDef kRandomMethods[] = {
    KORVANE_PROJECTION_METHODS(RandomProjection),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kRandomGetters[] = {
    {"dimensionality", get_dimensionality<RandomProjection>, nullptr, "Input dimension.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRandomSlots[] = {
    {Py_tp_doc, const_cast<char*>("RandomProjection(dim, *, radial=None, seed=42)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(random_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RandomProjection>)},
    {Py_tp_repr, reinterpret_cast<void*>(random_repr)},
    {Py_tp_methods, kRandomMethods},
    {Py_tp_getset, kRandomGetters},
    {0, nullptr},
};

PyType_Spec kRandomSpec{"korvane.RandomProjection", sizeof(Box<RandomProjection>), 0,
                        box_flags<RandomProjection>(), kRandomSlots};

}  // namespace

const PcaProjection* as_pca_projection(PyObject* object) {
    if (!g_pca_type || !PyObject_TypeCheck(object, g_pca_type)) return nullptr;
    return &unbox<PcaProjection>(object);
}

bool add_projection_types(PyObject* module) {
    if (!(g_pca_type = add_type(module, kPcaSpec))) return false;
    if (!(g_random_type = add_type(module, kRandomSpec))) return false;
    return true;
}

}  // namespace korvane::py
