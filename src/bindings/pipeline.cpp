#include "bindings/pipeline.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/embedding_args.hpp"
#include "bindings/projection.hpp"
#include "bindings/pyutil/args.hpp"
#include "bindings/pyutil/box.hpp"
#include "bindings/pyutil/convert.hpp"
#include "bindings/pyutil/errors.hpp"
#include "bindings/pyutil/gil.hpp"
#include "bindings/pyutil/json_convert.hpp"
#include "bindings/pyutil/repr.hpp"
#include "bindings/wrap.hpp"
#include "common/json_reader.hpp"
#include "config/pipeline_config.hpp"
#include "pipeline/export.hpp"
#include "pipeline/result_json.hpp"

namespace korvane::py {
namespace {

using pipeline::KorvaneOutput;
using pipeline::KorvanePipeline;
using pipeline::PipelineQuery;

struct PipelineObject {
    KorvanePipeline pipeline;
    std::size_t dim = 0;
};

PyTypeObject* g_pipeline_type = nullptr;

const PipelineObject& self_of(PyObject* self) { return unbox<PipelineObject>(self); }

// ---- argument conversion ---------------------------------------------------------------------


bool read_count(PyObject* object, const char* function, const char* arg, std::size_t& out) {
    if (!object) return true;  // absent: keep the default
    std::uint64_t value = 0;
    if (!to_u64(object, function, arg, value)) return false;
    out = static_cast<std::size_t>(value);
    return true;
}

// The query vector, converted and checked against the pipeline's input dimension.
bool read_query(const PipelineObject& p, PyObject* object, const char* function, std::vector<double>& out) {
    if (!extract_embedding(object, function, "query", out)) return false;
    if (out.size() != p.dim) {
        raise_value_error("query dimension mismatch: expected " + std::to_string(p.dim) + ", got " +
                          std::to_string(out.size()));
        return false;
    }
    return true;
}

// An optional query: absent (or None) stands for the zero vector of the pipeline's dimension.
bool read_optional_query(const PipelineObject& p, PyObject* object, const char* function, std::vector<double>& out) {
    if (!object || object == Py_None) {
        out.assign(p.dim, 0.0);
        return true;
    }
    return read_query(p, object, function, out);
}

// Runs one request with the lock released; nothing, with ValueError set, on a pipeline error or
// when the output is not the kind the request asks for.
template <class Out>
std::optional<Out> run_query(const PipelineObject& p, const PipelineQuery& request, std::span<const double> query) {
    auto result = without_gil([&] { return p.pipeline.query(request, query); });
    if (!result) {
        raise_value_error(pipeline::display(result.error()));
        return std::nullopt;
    }
    auto* out = std::get_if<Out>(&result.value());
    if (!out) {
        raise_value_error("unexpected output type");
        return std::nullopt;
    }
    return std::move(*out);
}

// ---- JSON text of results --------------------------------------------------------------------

template <class Items>
PyObject* json_array(const Items& items) {
    std::string out = "[";
    bool first = true;
    for (const auto& item : items) {
        if (!first) out.push_back(',');
        first = false;
        out += pipeline::to_json(item);
    }
    out.push_back(']');
    return to_python(std::string_view(out));
}

// The JSON text or the Python objects of a list of results.
template <bool Json, class Items>
PyObject* results_out(const Items& items) {
    if constexpr (Json)
        return json_array(items);
    else
        return wrap_list(items);
}

// ---- construction ----------------------------------------------------------------------------

constexpr std::array<Param, 4> kNewParams{required("categories"), required("embeddings"), keyword("projection"),
                                          keyword("config")};

PyObject* pipeline_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Args<4> a;
        if (!parse_call_args("Pipeline", kNewParams, args, kwargs, a)) return nullptr;
        std::vector<std::string> categories;
        if (!read_categories(a[0], "Pipeline", categories)) return nullptr;
        const projection::PcaProjection* supplied = nullptr;
        if (a.given(2) && !(supplied = as_pca_projection(a[2])))
            return raise_type_error("Pipeline() argument 'projection' must be PcaProjection or None, not " +
                                    type_name(a[2]));
        if (a.given(3) && !PyDict_Check(a[3]))
            return raise_type_error("Pipeline() argument 'config' must be dict or None, not " + type_name(a[3]));
        EmbeddingMatrix matrix;
        if (!extract_embeddings_2d(a[1], "Pipeline", "embeddings", matrix)) return nullptr;
        if (categories.size() != matrix.size())
            return raise_value_error("categories length (" + std::to_string(categories.size()) +
                                     ") != embeddings length (" + std::to_string(matrix.size()) + ")");
        const std::size_t dim = matrix.size() == 0 ? 0 : matrix[0].size();
        std::optional<config::PipelineConfig> config;
        if (a.given(3)) {
            config.emplace();
            if (!read_config(a[3], *config)) return nullptr;
        }
        std::optional<projection::PcaProjection> projection;
        if (supplied) projection = *supplied;

        const RowsView rows = matrix.rows();
        auto built = without_gil([&] {
            if (projection && config)
                return KorvanePipeline::with_projection_and_config(std::move(categories), rows, std::move(*projection),
                                                                   *config);
            if (projection) return KorvanePipeline::with_projection(std::move(categories), rows, std::move(*projection));
            if (config) return KorvanePipeline::new_with_config(std::move(categories), rows, *config);
            return KorvanePipeline::create(std::move(categories), rows);
        });
        if (!built) return raise_value_error(pipeline::display(built.error()));
        return box(type, PipelineObject{std::move(built).value(), dim});
    });
}

// ---- special methods and properties ----------------------------------------------------------

Py_ssize_t pipeline_len(PyObject* self) { return static_cast<Py_ssize_t>(self_of(self).pipeline.size()); }
int pipeline_bool(PyObject* self) { return self_of(self).pipeline.size() > 0 ? 1 : 0; }

PyObject* pipeline_repr(PyObject* self) {
    return ReprBuilder("Pipeline").integer("items", self_of(self).pipeline.size()).build();
}

PyObject* get_num_items(PyObject* self, void*) {
    return to_python(static_cast<std::uint64_t>(self_of(self).pipeline.size()));
}

PyObject* get_categories(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const auto& labels = self_of(self).pipeline.categories();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(labels.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < labels.size(); ++i) {
            PyObject* text = to_python(std::string_view(labels[i]));
            if (!text) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
        }
        return list.release();
    });
}

PyObject* get_projection_kind(PyObject* self, void*) {
    // The family actually held, which differs from the configuration when a projection was supplied.
    const auto index = self_of(self).pipeline.projection().family().index();
    return to_python(config::short_name(static_cast<config::ProjectionKind>(index)));
}

PyObject* get_evr(PyObject* self, void*) { return PyFloat_FromDouble(self_of(self).pipeline.explained_variance_ratio()); }

PyGetSetDef kGetters[] = {
    {"num_items", get_num_items, nullptr, nullptr, nullptr},
    {"categories", get_categories, nullptr, nullptr, nullptr},
    {"projection_kind", get_projection_kind, nullptr,
     "Short stable name of the projection family — \"pca\", \"kernel_pca\",\n\"laplacian_eigenmap\", or "
     "\"umap_sphere\".",
     nullptr},
    {"explained_variance_ratio", get_evr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- plain accessors (the lock is kept) ------------------------------------------------------

PyObject* config_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* dict = from_json_value(config::to_value(self_of(self).pipeline.config()));
        if (dict || PyErr_ExceptionMatches(PyExc_MemoryError)) return dict;
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        Ref text = Ref::steal(raised ? PyObject_Str(raised.get()) : nullptr);
        const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        PyErr_Clear();
        return raise_value_error(std::string("failed to serialize config: ") + (message ? message : ""));
    });
}

PyObject* unique_categories_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto names = self_of(self).pipeline.unique_categories();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < names.size(); ++i) {
            PyObject* text = to_python(names[i]);
            if (!text) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
        }
        return list.release();
    });
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* exported_points_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto points = pipeline::exported_points(self_of(self).pipeline);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(points.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const auto& p = points[i];
            Ref dict = Ref::steal(PyDict_New());
            if (!dict) return nullptr;
            if (!set_item(dict.get(), "id", to_python(std::string_view(p.id))) ||
                !set_item(dict.get(), "category", to_python(std::string_view(p.category))) ||
                !set_item(dict.get(), "r", PyFloat_FromDouble(p.r)) ||
                !set_item(dict.get(), "theta", PyFloat_FromDouble(p.theta)) ||
                !set_item(dict.get(), "phi", PyFloat_FromDouble(p.phi)) ||
                !set_item(dict.get(), "x", PyFloat_FromDouble(p.x)) ||
                !set_item(dict.get(), "y", PyFloat_FromDouble(p.y)) ||
                !set_item(dict.get(), "z", PyFloat_FromDouble(p.z)) ||
                !set_item(dict.get(), "certainty", PyFloat_FromDouble(p.certainty)) ||
                !set_item(dict.get(), "intensity", PyFloat_FromDouble(p.intensity)))
                return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
        }
        return list.release();
    });
}

PyObject* to_json_method(PyObject* self, PyObject*) {
    return guarded([&] { return to_python(std::string_view(pipeline::to_json(self_of(self).pipeline))); });
}

PyObject* to_csv_method(PyObject* self, PyObject*) {
    return guarded([&] { return to_python(std::string_view(pipeline::to_csv(self_of(self).pipeline))); });
}

// ---- queries ---------------------------------------------------------------------------------

constexpr std::array<Param, 2> kNearestParams{required("query"), optional("k")};

template <bool Json>
PyObject* nearest_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const char* name = Json ? "nearest_json" : "nearest";
        const auto& p = self_of(self);
        Args<2> a;
        if (!parse_args(name, kNearestParams, args, nargs, kwnames, a)) return nullptr;
        std::size_t k = 5;
        if (!read_count(a[1], name, "k", k)) return nullptr;
        std::vector<double> query;
        if (!read_query(p, a[0], name, query)) return nullptr;
        auto out = run_query<pipeline::output::Nearest>(p, pipeline::request::Nearest{k}, query);
        if (!out) return nullptr;
        return results_out<Json>(out->results);
    });
}


template <bool Json>
PyObject* similar_above_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Param, 2> kParams{required("query"), optional("min_cosine")};
        const char* name = Json ? "similar_above_json" : "similar_above";
        const auto& p = self_of(self);
        Args<2> a;
        if (!parse_args(name, kParams, args, nargs, kwnames, a)) return nullptr;
        double min_cosine = 0.8;
        if (a[1] && !to_f64(a[1], name, "min_cosine", min_cosine)) return nullptr;
        std::vector<double> query;
        if (!read_query(p, a[0], name, query)) return nullptr;
        auto out = run_query<pipeline::output::SimilarAbove>(p, pipeline::request::SimilarAbove{min_cosine}, query);
        if (!out) return nullptr;
        return results_out<Json>(out->results);
    });
}

template <bool Json>
PyObject* concept_path_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Param, 4> kParams{required("source_id"), required("target_id"), keyword("graph_k"),
                                                      keyword("query")};
        const char* name = Json ? "concept_path_json" : "concept_path";
        const auto& p = self_of(self);
        Args<4> a;
        if (!parse_args(name, kParams, args, nargs, kwnames, a)) return nullptr;
        pipeline::request::ConceptPath request;
        request.graph_k = 10;
        if (!to_string(a[0], name, "source_id", request.source_id) ||
            !to_string(a[1], name, "target_id", request.target_id) || !read_count(a[2], name, "graph_k", request.graph_k))
            return nullptr;
        std::vector<double> query;
        if (!read_optional_query(p, a[3], name, query)) return nullptr;
        auto out = run_query<pipeline::output::ConceptPath>(p, request, query);
        if (!out) return nullptr;
        if constexpr (Json) {
            if (!out->path) return to_python(std::string_view("null"));
            return to_python(std::string_view(pipeline::to_json(*out->path)));
        } else {
            if (!out->path) Py_RETURN_NONE;
            return wrap(*out->path);
        }
    });
}

template <bool Json>
PyObject* detect_globs_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Param, 3> kParams{keyword("k"), keyword("max_k"), keyword("query")};
        const char* name = Json ? "detect_globs_json" : "detect_globs";
        const auto& p = self_of(self);
        Args<3> a;
        if (!parse_args(name, kParams, args, nargs, kwnames, a)) return nullptr;
        pipeline::request::DetectGlobs request;
        request.max_k = 10;
        if (a.given(0)) {
            std::size_t k = 0;
            if (!read_count(a[0], name, "k", k)) return nullptr;
            request.k = k;
        }
        if (!read_count(a[1], name, "max_k", request.max_k)) return nullptr;
        std::vector<double> query;
        if (!read_optional_query(p, a[2], name, query)) return nullptr;
        auto out = run_query<pipeline::output::Globs>(p, request, query);
        if (!out) return nullptr;
        return results_out<Json>(out->globs);
    });
}

template <bool Json>
PyObject* local_manifold_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Param, 2> kParams{required("query"), keyword("neighborhood_k")};
        const char* name = Json ? "local_manifold_json" : "local_manifold";
        const auto& p = self_of(self);
        Args<2> a;
        if (!parse_args(name, kParams, args, nargs, kwnames, a)) return nullptr;
        pipeline::request::LocalManifold request;
        request.neighborhood_k = 10;
        if (!read_count(a[1], name, "neighborhood_k", request.neighborhood_k)) return nullptr;
        std::vector<double> query;
        if (!read_query(p, a[0], name, query)) return nullptr;
        auto out = run_query<pipeline::output::Manifold>(p, request, query);
        if (!out) return nullptr;
        if constexpr (Json)
            return to_python(std::string_view(pipeline::to_json(out->manifold)));
        else
            return wrap(out->manifold);
    });
}

PyObject* hierarchical_nearest_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const auto& p = self_of(self);
        Args<2> a;
        if (!parse_args("hierarchical_nearest", kNearestParams, args, nargs, kwnames, a)) return nullptr;
        std::size_t k = 5;
        if (!read_count(a[1], "hierarchical_nearest", "k", k)) return nullptr;
        std::vector<double> query;
        if (!read_query(p, a[0], "hierarchical_nearest", query)) return nullptr;
        auto results = without_gil([&] { return p.pipeline.hierarchical_nearest(query, k); });
        return wrap_list(results);
    });
}

PyObject* drill_down_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Param, 3> kParams{required("category"), required("query"), optional("k")};
        const auto& p = self_of(self);
        Args<3> a;
        if (!parse_args("drill_down", kParams, args, nargs, kwnames, a)) return nullptr;
        pipeline::request::DrillDown request;
        request.k = 10;
        if (!to_string(a[0], "drill_down", "category", request.category) ||
            !read_count(a[2], "drill_down", "k", request.k))
            return nullptr;
        std::vector<double> query;
        if (!read_query(p, a[1], "drill_down", query)) return nullptr;
        auto out = run_query<pipeline::output::DrillDown>(p, request, query);
        if (!out) return nullptr;
        return wrap_list(out->hits);
    });
}

PyObject* category_concept_path_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Param, 2> kParams{required("source_category"), required("target_category")};
        const auto& p = self_of(self);
        Args<2> a;
        if (!parse_args("category_concept_path", kParams, args, nargs, kwnames, a)) return nullptr;
        pipeline::request::CategoryConceptPath request;
        if (!to_string(a[0], "category_concept_path", "source_category", request.source_category) ||
            !to_string(a[1], "category_concept_path", "target_category", request.target_category))
            return nullptr;
        const std::vector<double> query(p.dim, 0.0);
        auto out = run_query<pipeline::output::CategoryPath>(p, request, query);
        if (!out) return nullptr;
        if (!out->path) Py_RETURN_NONE;
        return wrap(*out->path);
    });
}

PyObject* category_neighbors_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Param, 2> kParams{required("category"), optional("k")};
        const auto& p = self_of(self);
        Args<2> a;
        if (!parse_args("category_neighbors", kParams, args, nargs, kwnames, a)) return nullptr;
        pipeline::request::CategoryNeighbors request;
        request.k = 5;
        if (!to_string(a[0], "category_neighbors", "category", request.category) ||
            !read_count(a[1], "category_neighbors", "k", request.k))
            return nullptr;
        const std::vector<double> query(p.dim, 0.0);
        auto out = run_query<pipeline::output::CategoryNeighbors>(p, request, query);
        if (!out) return nullptr;
        return wrap_list(out->neighbors);
    });
}

PyObject* category_stats_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto& p = self_of(self);
        const std::vector<double> query(p.dim, 0.0);
        auto out = run_query<pipeline::output::CategoryStats>(p, pipeline::request::CategoryStats{}, query);
        if (!out) return nullptr;
        Ref summaries = Ref::steal(wrap_list(out->summaries));
        if (!summaries) return nullptr;
        Ref spheres = Ref::steal(wrap_list(out->inner_spheres));
        if (!spheres) return nullptr;
        return PyTuple_Pack(2, summaries.get(), spheres.get());
    });
}

PyObject* domain_groups_method(PyObject* self, PyObject*) {
    return guarded([&] { return wrap_list(self_of(self).pipeline.layer().domain_groups()); });
}

PyObject* projection_warnings_method(PyObject* self, PyObject*) {
    return guarded([&] { return wrap_list(self_of(self).pipeline.warnings()); });
}

// ---- from_json -------------------------------------------------------------------------------

PyObject* from_json_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr std::array<Param, 1> kParams{required("json")};
        Args<1> a;
        if (!parse_args("from_json", kParams, args, nargs, kwnames, a)) return nullptr;
        std::string text;
        if (!to_string(a[0], "from_json", "json", text)) return nullptr;
        auto parsed = json::parse(text);
        if (!parsed) return raise_value_error(parsed.error().display());
        const json::Value* categories_value = parsed->find("categories");
        const json::Array* labels = categories_value ? categories_value->as_array() : nullptr;
        if (!labels) return raise_value_error("missing 'categories' array");
        std::vector<std::string> categories;
        categories.reserve(labels->size());
        for (std::size_t i = 0; i < labels->size(); ++i) {
            const std::string* label = (*labels)[i].as_string();
            if (!label) return raise_value_error("category at index " + std::to_string(i) + " must be a string");
            categories.push_back(*label);
        }
        const json::Value* embeddings_value = parsed->find("embeddings");
        const json::Array* rows = embeddings_value ? embeddings_value->as_array() : nullptr;
        if (!rows) return raise_value_error("missing 'embeddings' array");
        std::vector<double> flat;
        std::vector<std::size_t> offsets{0};
        for (std::size_t i = 0; i < rows->size(); ++i) {
            const json::Array* row = (*rows)[i].as_array();
            if (!row) return raise_value_error("embedding at index " + std::to_string(i) + " must be an array");
            for (std::size_t j = 0; j < row->size(); ++j) {
                const auto value = (*row)[j].as_double();
                if (!value)
                    return raise_value_error("embedding[" + std::to_string(i) + "][" + std::to_string(j) +
                                             "] must be a number");
                flat.push_back(*value);
            }
            offsets.push_back(flat.size());
        }
        const std::size_t dim = rows->empty() ? 0 : offsets[1];
        const RowsView view{flat.data(), rows->size(), 0, offsets.data()};
        auto built = KorvanePipeline::create(std::move(categories), view);
        if (!built) return raise_value_error(pipeline::display(built.error()));
        return box(g_pipeline_type, PipelineObject{std::move(built).value(), dim});
    });
}

}  // namespace

// ---- method table and type -------------------------------------------------------------------

namespace {

PyMethodDef kMethods[] = {
    {"nearest", as_method<nearest_method<false>>(), kFastcall, "nearest($self, query, k=5)\n--\n\n"},
    {"nearest_json", as_method<nearest_method<true>>(), kFastcall, "nearest_json($self, query, k=5)\n--\n\n"},
    {"similar_above", as_method<similar_above_method<false>>(), kFastcall,
     "similar_above($self, query, min_cosine=0.8)\n--\n\n"},
    {"similar_above_json", as_method<similar_above_method<true>>(), kFastcall,
     "similar_above_json($self, query, min_cosine=0.8)\n--\n\n"},
    {"concept_path", as_method<concept_path_method<false>>(), kFastcall,
     "concept_path($self, source_id, target_id, *, graph_k=10, query=None)\n--\n\n"},
    {"concept_path_json", as_method<concept_path_method<true>>(), kFastcall,
     "concept_path_json($self, source_id, target_id, *, graph_k=10, query=None)\n--\n\n"},
    {"detect_globs", as_method<detect_globs_method<false>>(), kFastcall,
     "detect_globs($self, *, k=None, max_k=10, query=None)\n--\n\n"},
    {"detect_globs_json", as_method<detect_globs_method<true>>(), kFastcall,
     "detect_globs_json($self, *, k=None, max_k=10, query=None)\n--\n\n"},
    {"local_manifold", as_method<local_manifold_method<false>>(), kFastcall,
     "local_manifold($self, query, *, neighborhood_k=10)\n--\n\n"},
    {"local_manifold_json", as_method<local_manifold_method<true>>(), kFastcall,
     "local_manifold_json($self, query, *, neighborhood_k=10)\n--\n\n"},
    {"hierarchical_nearest", as_method<hierarchical_nearest_method>(), kFastcall,
     "hierarchical_nearest($self, query, k=5)\n--\n\nHierarchical nearest-neighbor search. Falls back to plain\n"
     "[`nearest`](Self::nearest) when EVR is above\n`config.routing.low_evr_threshold`; otherwise routes the query\n"
     "to a domain group and drills into its member categories."},
    {"drill_down", as_method<drill_down_method>(), kFastcall, "drill_down($self, category, query, k=10)\n--\n\n"},
    {"category_concept_path", as_method<category_concept_path_method>(), kFastcall,
     "category_concept_path($self, source_category, target_category)\n--\n\n"},
    {"category_neighbors", as_method<category_neighbors_method>(), kFastcall,
     "category_neighbors($self, category, k=5)\n--\n\n"},
    {"category_stats", category_stats_method, METH_NOARGS, "category_stats($self)\n--\n\n"},
    {"from_json", as_method<from_json_method>(), kFastcall | METH_STATIC, "from_json(json)\n--\n\n"},
    {"config", config_method, METH_NOARGS,
     "config($self)\n--\n\nReturn the [`PipelineConfig`] this pipeline was built with, as a dict."},
    {"unique_categories", unique_categories_method, METH_NOARGS, "unique_categories($self)\n--\n\n"},
    {"exported_points", exported_points_method, METH_NOARGS, "exported_points($self)\n--\n\n"},
    {"to_json", to_json_method, METH_NOARGS, "to_json($self)\n--\n\n"},
    {"to_csv", to_csv_method, METH_NOARGS, "to_csv($self)\n--\n\n"},
    {"domain_groups", domain_groups_method, METH_NOARGS,
     "domain_groups($self)\n--\n\nCoarse domain groups detected from category geometry."},
    {"projection_warnings", projection_warnings_method, METH_NOARGS,
     "projection_warnings($self)\n--\n\nStructured warnings when projection quality (EVR) is below the\n"
     "configured threshold. Empty when the projection is healthy."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Pipeline(categories, embeddings, *, projection=None, config=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(pipeline_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PipelineObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(pipeline_repr)},
    {Py_sq_length, reinterpret_cast<void*>(pipeline_len)},
    {Py_nb_bool, reinterpret_cast<void*>(pipeline_bool)},
    {Py_tp_getset, kGetters},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{"korvane.Pipeline", sizeof(Box<PipelineObject>), 0, box_flags<PipelineObject>(), kSlots};

}  // namespace

bool add_pipeline_type(PyObject* module) { return (g_pipeline_type = add_type(module, kSpec)) != nullptr; }

const pipeline::KorvanePipeline* as_pipeline(PyObject* object) {
    if (!g_pipeline_type || !PyObject_TypeCheck(object, g_pipeline_type)) return nullptr;
    return &unbox<PipelineObject>(object).pipeline;
}

bool read_categories(PyObject* object, const char* function, std::vector<std::string>& out) {
    // A str is a sequence of one-character strings; taking it as labels would hide the mistake.
    if (PyUnicode_Check(object) || !PySequence_Check(object)) {
        raise_type_error(std::string(function) + "() argument 'categories' must be a sequence of str, not " +
                         type_name(object));
        return false;
    }
    Ref sequence = Ref::steal(PySequence_Tuple(object));
    if (!sequence) return false;
    out.resize(static_cast<std::size_t>(PyTuple_GET_SIZE(sequence.get())));
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!to_string(PyTuple_GET_ITEM(sequence.get(), static_cast<Py_ssize_t>(i)), function, "categories", out[i]))
            return false;
    return true;
}

bool read_config(PyObject* object, config::PipelineConfig& out) {
    json::Value value;
    if (!to_json_value(object, value)) return false;
    auto read = config::from_value(value);
    if (!read) {
        raise_value_error("invalid PipelineConfig dict: " + read.error().display());
        return false;
    }
    out = std::move(read).value();
    return true;
}

}  // namespace korvane::py
