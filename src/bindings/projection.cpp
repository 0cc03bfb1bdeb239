#include "bindings/projection.hpp"

#include <array>
#include <string>
#include <vector>

#include "bindings/core_types.hpp"
#include "bindings/embedding_args.hpp"
#include "bindings/pyutil/args.hpp"
#include "bindings/pyutil/box.hpp"
#include "bindings/pyutil/convert.hpp"
#include "bindings/pyutil/errors.hpp"
#include "bindings/pyutil/gil.hpp"
#include "bindings/pyutil/repr.hpp"
#include "common/number_format.hpp"
#include "projection/kernel_pca.hpp"
#include "projection/laplacian.hpp"

namespace korvane::py {
namespace {

using projection::KernelPcaProjection;
using projection::LaplacianEigenmapProjection;
using projection::PcaProjection;
using projection::ProjectedPoint;
using projection::RandomProjection;

PyTypeObject* g_pca_type = nullptr;
PyTypeObject* g_random_type = nullptr;
PyTypeObject* g_kernel_type = nullptr;
PyTypeObject* g_laplacian_type = nullptr;


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

// ---- KernelPcaProjection ----------------------------------------------------------------------

constexpr std::array<Param, 4> kKernelFitParams{required("embeddings"), keyword("sigma"), keyword("radial"),
                                                keyword("volumetric")};

PyObject* kernel_fit(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<4> a;
        if (!parse_args("fit", kKernelFitParams, args, nargs, kwnames, a)) return nullptr;
        EmbeddingMatrix matrix;
        projection::RadialStrategy radial;
        bool volumetric = false;
        double sigma = 0.0;
        const bool fixed_sigma = a.given(1);
        if (!extract_embeddings_2d(a[0], "fit", "embeddings", matrix) ||
            (fixed_sigma && !to_f64(a[1], "fit", "sigma", sigma)) || !radial_argument(a[2], radial) ||
            (a[3] && !to_bool(a[3], "fit", "volumetric", volumetric)))
            return nullptr;
        auto fitted = without_gil([&] {
            return fixed_sigma ? KernelPcaProjection::fit_with_sigma(matrix.rows(), sigma, radial)
                               : KernelPcaProjection::fit(matrix.rows(), radial);
        });
        if (!fitted) return raise_projection_error(fitted.error());
        fitted->set_volumetric(volumetric);
        return box(reinterpret_cast<PyTypeObject*>(cls), std::move(*fitted));
    });
}

PyObject* kernel_repr(PyObject* self) {
    const auto& p = unbox<KernelPcaProjection>(self);
    return ReprBuilder("KernelPcaProjection")
        .integer("dim", p.dimensionality())
        .fixed("sigma", p.sigma(), 4)
        .fixed("explained_variance", p.explained_variance_ratio(), 4)
        .build();
}

PyObject* kernel_sigma(PyObject* self, void*) { return PyFloat_FromDouble(unbox<KernelPcaProjection>(self).sigma()); }

PyObject* kernel_training_points(PyObject* self, void*) {
    return PyLong_FromSize_t(unbox<KernelPcaProjection>(self).num_training_points());
}

PyMethodDef kKernelMethods[] = {
    {"fit", as_method<kernel_fit>(), kFastcall | METH_CLASS,
     "fit($cls, embeddings, *, sigma=None, radial=None, volumetric=False)\n--\n\n"},
    KORVANE_PROJECTION_METHODS(KernelPcaProjection),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kKernelGetters[] = {
    {"dimensionality", get_dimensionality<KernelPcaProjection>, nullptr, "Input dimension.", nullptr},
    {"explained_variance_ratio", get_explained_variance_ratio<KernelPcaProjection>, nullptr,
     "Share of the centred kernel variance the three components capture, in [0, 1].", nullptr},
    {"sigma", kernel_sigma, nullptr, "Kernel bandwidth used.", nullptr},
    {"num_training_points", kernel_training_points, nullptr, "Number of training embeddings kept.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kKernelSlots[] = {
    {Py_tp_doc, const_cast<char*>("Gaussian-kernel PCA onto three components, fitted with KernelPcaProjection.fit.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<KernelPcaProjection>)},
    {Py_tp_repr, reinterpret_cast<void*>(kernel_repr)},
    {Py_tp_methods, kKernelMethods},
    {Py_tp_getset, kKernelGetters},
    {0, nullptr},
};

PyType_Spec kKernelSpec{"korvane.KernelPcaProjection", sizeof(Box<KernelPcaProjection>), 0,
                        box_flags<KernelPcaProjection>() | Py_TPFLAGS_DISALLOW_INSTANTIATION, kKernelSlots};

// ---- LaplacianEigenmap ------------------------------------------------------------------------

constexpr std::array<Param, 4> kLaplacianFitParams{required("embeddings"), keyword("radial"),
                                                   keyword("k_neighbors"), keyword("active_threshold")};

PyObject* laplacian_fit(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<4> a;
        if (!parse_args("fit", kLaplacianFitParams, args, nargs, kwnames, a)) return nullptr;
        EmbeddingMatrix matrix;
        projection::RadialStrategy radial;
        std::uint64_t k = LaplacianEigenmapProjection::kDefaultNeighbors;
        double threshold = LaplacianEigenmapProjection::kDefaultActiveThreshold;
        if (!extract_embeddings_2d(a[0], "fit", "embeddings", matrix) || !radial_argument(a[1], radial) ||
            (a.given(2) && !to_u64(a[2], "fit", "k_neighbors", k)) ||
            (a.given(3) && !to_f64(a[3], "fit", "active_threshold", threshold)))
            return nullptr;
        auto fitted = without_gil(
            [&] { return LaplacianEigenmapProjection::fit_with_params(matrix.rows(), k, radial, threshold); });
        if (!fitted) return raise_projection_error(fitted.error());
        return box(reinterpret_cast<PyTypeObject*>(cls), std::move(*fitted));
    });
}

PyObject* laplacian_repr(PyObject* self) {
    const auto& p = unbox<LaplacianEigenmapProjection>(self);
    const auto& l = p.eigenvalues();
    std::string eigenvalues = "[";
    for (std::size_t k = 0; k < 3; ++k) {
        if (k) eigenvalues += ", ";
        append_fixed(eigenvalues, l[k], 3);
    }
    eigenvalues += "]";
    return ReprBuilder("LaplacianEigenmap")
        .integer("dim", p.dimensionality())
        .fixed("connectivity", p.connectivity_ratio(), 4)
        .raw("eigenvalues", eigenvalues)
        .build();
}

PyObject* laplacian_connectivity(PyObject* self, void*) {
    return PyFloat_FromDouble(unbox<LaplacianEigenmapProjection>(self).connectivity_ratio());
}

PyObject* laplacian_eigenvalues(PyObject* self, void*) {
    const auto& l = unbox<LaplacianEigenmapProjection>(self).eigenvalues();
    return Py_BuildValue("[ddd]", l[0], l[1], l[2]);
}

PyMethodDef kLaplacianMethods[] = {
    {"fit", as_method<laplacian_fit>(), kFastcall | METH_CLASS,
     "fit($cls, embeddings, *, radial=None, k_neighbors=None, active_threshold=None)\n--\n\n"
     "Fit a Laplacian-eigenmap projection to a corpus.\n"
     "\n"
     "- `embeddings`: 2-D numpy array (f32/f64) or list-of-lists; needs\n"
     "  at least 4 rows and any positive dimensionality.\n"
     "- `radial`: `\"magnitude\"` (default) or a finite float to fix the\n"
     "  radial coordinate.\n"
     "- `k_neighbors`: density of the sparsified k-NN graph. Higher =\n"
     "  smoother embedding, less noise-sensitivity, but more blurred\n"
     "  category boundaries. Typical range 10–30; defaults to 15.\n"
     "- `active_threshold`: absolute-weight cutoff for the active-axis\n"
     "  filter. Axes with `|v| ≤ threshold` are dropped before computing\n"
     "  Jaccard similarity. Defaults to 0.05."},
    KORVANE_PROJECTION_METHODS(LaplacianEigenmapProjection),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kLaplacianGetters[] = {
    {"dimensionality", get_dimensionality<LaplacianEigenmapProjection>, nullptr,
     "Length of the first training embedding.", nullptr},
    {"explained_variance_ratio", get_explained_variance_ratio<LaplacianEigenmapProjection>, nullptr,
     "Mean of `|μ_k|` across the three retained eigenvalues, in `[0, 1]`.\n"
     "Exposed under the same name as PCA's EVR for adaptive-threshold\n"
     "compatibility — but the two quantities have distinct meaning.",
     nullptr},
    {"connectivity_ratio", laplacian_connectivity, nullptr,
     "Same scalar as `explained_variance_ratio`, but under the\n"
     "spectrally-accurate name.",
     nullptr},
    {"eigenvalues", laplacian_eigenvalues, nullptr,
     "The three retained non-trivial eigenvalues, in descending order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kLaplacianSlots[] = {
    {Py_tp_doc, const_cast<char*>("Laplacian eigenmap over active-axis Jaccard similarity, fitted with\n"
                                  "LaplacianEigenmap.fit.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<LaplacianEigenmapProjection>)},
    {Py_tp_repr, reinterpret_cast<void*>(laplacian_repr)},
    {Py_tp_methods, kLaplacianMethods},
    {Py_tp_getset, kLaplacianGetters},
    {0, nullptr},
};

PyType_Spec kLaplacianSpec{"korvane.LaplacianEigenmap", sizeof(Box<LaplacianEigenmapProjection>), 0,
                           box_flags<LaplacianEigenmapProjection>() | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           kLaplacianSlots};

}  // namespace

const PcaProjection* as_pca_projection(PyObject* object) {
    if (!g_pca_type || !PyObject_TypeCheck(object, g_pca_type)) return nullptr;
    return &unbox<PcaProjection>(object);
}

bool add_projection_types(PyObject* module) {
    if (!(g_pca_type = add_type(module, kPcaSpec))) return false;
    if (!(g_random_type = add_type(module, kRandomSpec))) return false;
    if (!(g_kernel_type = add_type(module, kKernelSpec))) return false;
    return (g_laplacian_type = add_type(module, kLaplacianSpec)) != nullptr;
}

}  // namespace korvane::py
