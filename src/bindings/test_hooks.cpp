#include "bindings/test_hooks.hpp"

#include <array>
#include <thread>

#include "bindings/embedding_args.hpp"
#include "bindings/pipeline.hpp"
#include "bindings/wrap.hpp"
#include "bindings/pyutil/args.hpp"
#include "bindings/pyutil/convert.hpp"
#include "bindings/pyutil/errors.hpp"
#include "bindings/pyutil/gil.hpp"
#include "bindings/pyutil/json_convert.hpp"
#include "common/log.hpp"
#include "config/pipeline_config.hpp"
#include "pipeline/projection_selection.hpp"
#include "category/layer.hpp"
#include "category/warnings.hpp"
#include "projection/ann.hpp"

namespace korvane::py {
namespace {

PyObject* list_of_floats(std::span<const double> values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t j = 0; j < values.size(); ++j) {
        PyObject* item = PyFloat_FromDouble(values[j]);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), item);
    }
    return list.release();
}

constexpr std::array<Param, 1> kObjectParam{required("value")};

// Returns (rows as lists, whether the buffer was read in place).
PyObject* hook_extract_embeddings_2d(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<1> a;
        if (!parse_args("extract_embeddings_2d", kObjectParam, args, nargs, kwnames, a)) return nullptr;
        EmbeddingMatrix matrix;
        if (!extract_embeddings_2d(a[0], "extract_embeddings_2d", "value", matrix)) return nullptr;
        Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(matrix.size())));
        if (!rows) return nullptr;
        for (std::size_t i = 0; i < matrix.size(); ++i) {
            PyObject* row = list_of_floats(matrix[i]);
            if (!row) return nullptr;
            PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
        }
        return Py_BuildValue("(NO)", rows.release(), matrix.reads_in_place() ? Py_True : Py_False);
    });
}

PyObject* hook_extract_embedding(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<1> a;
        if (!parse_args("extract_embedding", kObjectParam, args, nargs, kwnames, a)) return nullptr;
        std::vector<double> values;
        if (!extract_embedding(a[0], "extract_embedding", "value", values)) return nullptr;
        return list_of_floats(values);
    });
}

PyObject* hook_parse_radial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<1> a;
    if (!parse_args("parse_radial", kObjectParam, args, nargs, kwnames, a)) return nullptr;
    projection::RadialStrategy radial;
    if (!parse_radial(a[0], radial)) return nullptr;
    if (const auto* fixed = std::get_if<projection::FixedRadius>(&radial)) return PyFloat_FromDouble(fixed->value);
    return PyUnicode_FromString("magnitude");
}

constexpr std::array<Param, 5> kEmitParams{required("target"), required("level"), required("message"),
                                           required("fields"), keyword("where")};

// Emits one core log event with int/float/str/bool fields. `where` is "here" (lock held),
// "released" (lock released on this thread) or "thread" (from a thread Python never saw).
PyObject* hook_emit_log(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<5> a;
        if (!parse_args("emit_log", kEmitParams, args, nargs, kwnames, a)) return nullptr;
        log::Event event;
        std::uint64_t level = 0;
        std::string where = "here";
        if (!to_string(a[0], "emit_log", "target", event.target) || !to_u64(a[1], "emit_log", "level", level) ||
            !to_string(a[2], "emit_log", "message", event.message))
            return nullptr;
        if (a.given(4) && !to_string(a[4], "emit_log", "where", where)) return nullptr;
        if (level > 4) return raise_value_error("level must be 0 (error) to 4 (trace)");
        event.level = static_cast<log::Level>(level);
        if (!PyDict_Check(a[3])) return raise_type_error("fields must be a dict");
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(a[3], &pos, &key, &value)) {
            log::Field field;
            if (!to_string(key, "emit_log", "fields", field.name)) return nullptr;
            if (PyBool_Check(value)) {
                field.value = value == Py_True;
            } else if (PyLong_Check(value)) {
                field.value = static_cast<std::int64_t>(PyLong_AsLongLong(value));
                if (PyErr_Occurred()) return nullptr;
            } else if (PyFloat_Check(value)) {
                field.value = PyFloat_AS_DOUBLE(value);
            } else {
                std::string text;
                if (!to_string(value, "emit_log", "fields", text)) return nullptr;
                field.value = std::move(text);
            }
            event.fields.push_back(std::move(field));
        }
        if (where == "here") {
            log::emit(std::move(event));
        } else if (where == "released") {
            without_gil([&] { log::emit(std::move(event)); });
        } else if (where == "thread") {
            without_gil([&] { std::thread([&] { log::emit(std::move(event)); }).join(); });
        } else {
            return raise_value_error("where must be 'here', 'released' or 'thread'");
        }
        Py_RETURN_NONE;
    });
}

// A configuration read from a dict or sequence, returned in its dict form.
PyObject* hook_pipeline_config(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<1> a;
        if (!parse_args("pipeline_config", kObjectParam, args, nargs, kwnames, a)) return nullptr;
        json::Value value;
        if (!to_json_value(a[0], value)) return nullptr;
        auto config = config::from_value(value);
        if (!config) return raise_value_error(config.error().display());
        return from_json_value(config::to_value(*config));
    });
}

constexpr std::array<Param, 3> kUmapParams{required("embeddings"), required("categories"), keyword("config")};

// Fits the UMAP sphere layout a pipeline would, and returns the training positions as
// (x, y, z) tuples; for benchmarks until the pipeline class exposes it.
PyObject* hook_fit_umap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<3> a;
        if (!parse_args("fit_umap", kUmapParams, args, nargs, kwnames, a)) return nullptr;
        EmbeddingMatrix matrix;
        if (!extract_embeddings_2d(a[0], "fit_umap", "embeddings", matrix)) return nullptr;
        std::vector<std::string> categories;
        config::PipelineConfig config;
        if (!read_categories(a[1], "fit_umap", categories) || (a.given(2) && !read_config(a[2], config))) return nullptr;
        config.projection_kind = config::ProjectionKind::UmapSphere;
        auto fitted = without_gil([&] { return pipeline::fit_projection_for_config(matrix.rows(), categories, config); });
        if (!fitted) return raise_value_error(projection::display(fitted.error()));
        const auto positions = fitted->get<projection::UmapSphereProjection>()->positions();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < positions.size(); ++i) {
            PyObject* xyz = Py_BuildValue("(ddd)", positions[i][0], positions[i][1], positions[i][2]);
            if (!xyz) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), xyz);
        }
        return list.release();
    });
}


constexpr std::array<Param, 5> kLayerParams{required("embeddings"), required("categories"), keyword("config"),
                                            keyword("path"), keyword("drill")};

// Fits the configured projection, projects every item and builds the category layer, then
// returns what the layer shows as the category result classes. `path` is a (source, target)
// pair; `drill` a (category, query, k) triple.
PyObject* hook_category_layer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<5> a;
        if (!parse_args("category_layer", kLayerParams, args, nargs, kwnames, a)) return nullptr;
        EmbeddingMatrix matrix;
        std::vector<std::string> categories;
        config::PipelineConfig config;
        if (!extract_embeddings_2d(a[0], "category_layer", "embeddings", matrix) ||
            !read_categories(a[1], "category_layer", categories) || (a.given(2) && !read_config(a[2], config)))
            return nullptr;
        if (categories.size() != matrix.size()) return raise_value_error("one category per embedding");
        std::string source, target, drill_category;
        std::vector<double> drill_query;
        std::uint64_t drill_k = 0;
        if (a.given(3)) {
            Ref items = Ref::steal(PySequence_Tuple(a[3]));
            if (items && PyTuple_GET_SIZE(items.get()) != 2) return raise_type_error("path must be (source, target)");
            if (!items || !to_string(PyTuple_GET_ITEM(items.get(), 0), "category_layer", "path", source) ||
                !to_string(PyTuple_GET_ITEM(items.get(), 1), "category_layer", "path", target))
                return nullptr;
        }
        if (a.given(4)) {
            Ref items = Ref::steal(PySequence_Tuple(a[4]));
            if (!items || PyTuple_GET_SIZE(items.get()) != 3) return raise_type_error("drill must be (category, query, k)");
            if (!to_string(PyTuple_GET_ITEM(items.get(), 0), "category_layer", "drill", drill_category) ||
                !extract_embedding(PyTuple_GET_ITEM(items.get(), 1), "category_layer", "drill", drill_query) ||
                !to_u64(PyTuple_GET_ITEM(items.get(), 2), "category_layer", "drill", drill_k))
                return nullptr;
            if (drill_query.size() != matrix.rows()[0].size()) return raise_value_error("drill query dimension");
        }
        struct Built {
            std::optional<category::CategoryLayer> layer;
            std::optional<projection::ConfiguredProjection> projection;
            std::string error;
        } built;
        without_gil([&] {
            auto fitted = pipeline::fit_projection_for_config(matrix.rows(), categories, config);
            if (!fitted) {
                built.error = projection::display(fitted.error());
                return;
            }
            std::vector<geometry::SphericalPoint> positions(matrix.size());
            for (std::size_t i = 0; i < matrix.size(); ++i) positions[i] = fitted->project(matrix[i]);
            built.layer = category::CategoryLayer::build_with_config(categories, matrix.rows(), positions,
                                                                     fitted->explained_variance_ratio(), *fitted, config);
            built.projection = std::move(fitted).value();
        });
        if (!built.layer) return raise_value_error(built.error);
        const category::CategoryLayer& layer = *built.layer;
        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;
        const auto put = [&](const char* key, PyObject* value) {
            Ref held = Ref::steal(value);
            return held && PyDict_SetItemString(result.get(), key, held.get()) == 0;
        };
        if (!put("evr", PyFloat_FromDouble(built.projection->explained_variance_ratio())) ||
            !put("summaries", wrap_list(layer.summaries())) || !put("groups", wrap_list(layer.domain_groups())) ||
            !put("spheres", wrap_list(layer.inner_sphere_stats())) ||
            !put("warnings", wrap_list(category::projection_warnings(built.projection->explained_variance_ratio()))))
            return nullptr;
        if (a.given(3)) {
            const auto path = layer.category_path(source, target);
            if (!put("path", path ? wrap(*path) : Py_NewRef(Py_None))) return nullptr;
        }
        if (a.given(4)) {
            const auto hits = layer.drill_down_with_projection(drill_category, drill_query, *built.projection, drill_k);
            if (!put("drill", wrap_list(hits))) return nullptr;
        }
        return result.release();
    });
}

constexpr std::array<Param, 2> kAnnParams{required("embeddings"), required("k")};

// Builds the neighbour index and returns each point's k nearest other points.
PyObject* hook_ann_neighbours(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Args<2> a;
        if (!parse_args("ann_neighbours", kAnnParams, args, nargs, kwnames, a)) return nullptr;
        EmbeddingMatrix matrix;
        std::uint64_t k = 0;
        if (!extract_embeddings_2d(a[0], "ann_neighbours", "embeddings", matrix) ||
            !to_u64(a[1], "ann_neighbours", "k", k))
            return nullptr;
        auto rows = without_gil([&]() -> Result<projection::NeighborRows, std::string> {
            auto index = projection::AnnIndex::build(matrix.rows());
            if (!index) return Err{index.error()};
            return index->query_all_by_index(k);
        });
        if (!rows) return raise_value_error(rows.error());
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < rows->size(); ++i) {
            const auto row = (*rows)[i];
            PyObject* ids = PyList_New(static_cast<Py_ssize_t>(row.size()));
            if (!ids) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), ids);
            for (std::size_t j = 0; j < row.size(); ++j)
                PyList_SET_ITEM(ids, static_cast<Py_ssize_t>(j), PyLong_FromSize_t(row[j].index));
        }
        return list.release();
    });
}

constexpr std::array<Param, 6> kProjectedParams{required("r"), required("theta"), required("phi"),
                                                required("certainty"), required("intensity"),
                                                required("projection_magnitude")};

// ProjectedPoint has no public constructor; projections create it.
PyObject* hook_projected_point(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<6> a;
    if (!parse_args("projected_point", kProjectedParams, args, nargs, kwnames, a)) return nullptr;
    double v[6];
    for (std::size_t i = 0; i < 6; ++i)
        if (!to_f64(a[i], "projected_point", kProjectedParams[i].name, v[i])) return nullptr;
    return wrap(projection::ProjectedPoint{{v[0], v[1], v[2]}, v[3], v[4], v[5]});
}


PyMethodDef kHooks[] = {
    {"extract_embeddings_2d", as_method<hook_extract_embeddings_2d>(), kFastcall,
     "extract_embeddings_2d(value)\n--\n\n"},
    {"extract_embedding", as_method<hook_extract_embedding>(), kFastcall,
     "extract_embedding(value)\n--\n\n"},
    {"parse_radial", as_method<hook_parse_radial>(), kFastcall, "parse_radial(value)\n--\n\n"},
    {"emit_log", as_method<hook_emit_log>(), kFastcall,
     "emit_log(target, level, message, fields, *, where='here')\n--\n\n"},
    {"pipeline_config", as_method<hook_pipeline_config>(), kFastcall, "pipeline_config(value)\n--\n\n"},
    {"fit_umap", as_method<hook_fit_umap>(), kFastcall, "fit_umap(embeddings, categories, *, config=None)\n--\n\n"},
    {"ann_neighbours", as_method<hook_ann_neighbours>(), kFastcall, "ann_neighbours(embeddings, k)\n--\n\n"},
    {"category_layer", as_method<hook_category_layer>(), kFastcall,
     "category_layer(embeddings, categories, *, config=None, path=None, drill=None)\n--\n\n"},
    {"projected_point", as_method<hook_projected_point>(), kFastcall,
     "projected_point(r, theta, phi, certainty, intensity, projection_magnitude)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_test_hooks(PyObject* module) {
    Ref hooks = Ref::steal(PyModule_New("korvane._testhooks"));
    if (!hooks || PyModule_AddFunctions(hooks.get(), kHooks) < 0) return false;
    return PyModule_AddObjectRef(module, "_testhooks", hooks.get()) == 0;
}

}  // namespace korvane::py
