// The tuning record of a pipeline build and its dict / JSON form.
//
// Every field has a default (the member initialisers), so any subset of fields is a valid
// configuration.  Nothing is range-checked here; each consumer validates the knobs it reads.
// Keys and their order come from the record_schema descriptions below, which serve reading,
// writing and the Python dict conversion alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/json.hpp"
#include "common/json_writer.hpp"
#include "common/record_reader.hpp"
#include "common/result.hpp"

namespace korvane::config {

enum class ProjectionKind { Pca, KernelPca, LaplacianEigenmap, UmapSphere };

// "Pca", "KernelPca", ...: the form in dicts and JSON.
std::string_view serialized_name(ProjectionKind kind);
// "pca", "kernel_pca", ...: the form reported to Python by pipelines and the store bridge.
std::string_view short_name(ProjectionKind kind);
// Serialised names only, case-sensitive; short names are not accepted.
std::optional<ProjectionKind> projection_kind_from_name(std::string_view name);

struct InnerSphereConfig {
    std::uint64_t min_size = 20;
    double min_evr_improvement = 0.1;
    std::uint64_t kernel_pca_min_size = 80;
    double min_kernel_improvement = 0.05;

    friend bool operator==(const InnerSphereConfig&, const InnerSphereConfig&) = default;
};

struct BridgeConfig {
    double threshold_base = 0.5;
    double threshold_evr_penalty = 0.4;
    double overlap_artifact_territorial = 0.3;
    double balanced_affinity_quantile = 0.25;
    double min_evr_for_classification = 0.2;

    friend bool operator==(const BridgeConfig&, const BridgeConfig&) = default;
};

struct RoutingConfig {
    std::uint64_t num_domain_groups = 5;
    double group_routing_alpha = 0.8;
    double low_evr_threshold = 0.35;

    friend bool operator==(const RoutingConfig&, const RoutingConfig&) = default;
};

struct LaplacianConfig {
    std::uint64_t k_neighbors = 15;
    double active_threshold = 0.05;

    friend bool operator==(const LaplacianConfig&, const LaplacianConfig&) = default;
};

struct UmapConfig {
    std::uint64_t n_neighbors = 15;
    std::uint64_t n_epochs = 200;
    double category_weight = 1.5;
    double min_dist = 0.1;
    double warm_start_anchor = 0.0;
    std::uint64_t seed = 0xA1B2C3D4;

    friend bool operator==(const UmapConfig&, const UmapConfig&) = default;
};

struct SpatialConfig {
    std::uint64_t coverage_samples = 100000;
    std::uint64_t exclusivity_samples = 30000;
    std::uint64_t voronoi_samples = 100000;

    friend bool operator==(const SpatialConfig&, const SpatialConfig&) = default;
};

struct PipelineConfig {
    ProjectionKind projection_kind = ProjectionKind::Pca;
    InnerSphereConfig inner_sphere;
    BridgeConfig bridges;
    RoutingConfig routing;
    LaplacianConfig laplacian;
    UmapConfig umap;
    SpatialConfig spatial;
    std::uint64_t min_category_size = 1;

    // Field by field; floats by IEEE ==, so a NaN knob makes a configuration unequal to itself.
    friend bool operator==(const PipelineConfig&, const PipelineConfig&) = default;
};

using ConfigError = record::ReadError;

// ---- serialised form ----

// Compact JSON object, keys in declared order, nested records as nested objects.
std::string to_json(const PipelineConfig& config);
void write_json(json::JsonWriter& writer, const PipelineConfig& config);
// The same object as a DOM, for the Python dict conversion.
json::Value to_value(const PipelineConfig& config);

// From an object (or a positional array); absent fields keep their defaults at every level.
Result<PipelineConfig, ConfigError> from_value(const json::Value& value);
// Parse errors surface as the parser's display text with an empty path.
Result<PipelineConfig, ConfigError> from_json(std::string_view text);

// ---- descriptions for the record machinery (found by argument-dependent lookup) ----

constexpr auto enum_variants(std::type_identity<ProjectionKind>) {
    using enum ProjectionKind;
    return record::variants<ProjectionKind, 4>("ProjectionKind", {{{Pca, "Pca"},
                                                                   {KernelPca, "KernelPca"},
                                                                   {LaplacianEigenmap, "LaplacianEigenmap"},
                                                                   {UmapSphere, "UmapSphere"}}});
}

constexpr auto record_schema(std::type_identity<InnerSphereConfig>) {
    using C = InnerSphereConfig;
    return record::schema<C>("InnerSphereConfig", record::field("min_size", &C::min_size),
                             record::field("min_evr_improvement", &C::min_evr_improvement),
                             record::field("kernel_pca_min_size", &C::kernel_pca_min_size),
                             record::field("min_kernel_improvement", &C::min_kernel_improvement));
}

constexpr auto record_schema(std::type_identity<BridgeConfig>) {
    using C = BridgeConfig;
    return record::schema<C>("BridgeConfig", record::field("threshold_base", &C::threshold_base),
                             record::field("threshold_evr_penalty", &C::threshold_evr_penalty),
                             record::field("overlap_artifact_territorial", &C::overlap_artifact_territorial),
                             record::field("balanced_affinity_quantile", &C::balanced_affinity_quantile),
                             record::field("min_evr_for_classification", &C::min_evr_for_classification));
}

constexpr auto record_schema(std::type_identity<RoutingConfig>) {
    using C = RoutingConfig;
    return record::schema<C>("RoutingConfig", record::field("num_domain_groups", &C::num_domain_groups),
                             record::field("group_routing_alpha", &C::group_routing_alpha),
                             record::field("low_evr_threshold", &C::low_evr_threshold));
}

constexpr auto record_schema(std::type_identity<LaplacianConfig>) {
    using C = LaplacianConfig;
    return record::schema<C>("LaplacianConfig", record::field("k_neighbors", &C::k_neighbors),
                             record::field("active_threshold", &C::active_threshold));
}

constexpr auto record_schema(std::type_identity<UmapConfig>) {
    using C = UmapConfig;
    return record::schema<C>("UmapConfig", record::field("n_neighbors", &C::n_neighbors),
                             record::field("n_epochs", &C::n_epochs),
                             record::field("category_weight", &C::category_weight),
                             record::field("min_dist", &C::min_dist),
                             record::field("warm_start_anchor", &C::warm_start_anchor),
                             record::field("seed", &C::seed));
}

constexpr auto record_schema(std::type_identity<SpatialConfig>) {
    using C = SpatialConfig;
    return record::schema<C>("SpatialConfig", record::field("coverage_samples", &C::coverage_samples),
                             record::field("exclusivity_samples", &C::exclusivity_samples),
                             record::field("voronoi_samples", &C::voronoi_samples));
}

constexpr auto record_schema(std::type_identity<PipelineConfig>) {
    using C = PipelineConfig;
    return record::schema<C>("PipelineConfig", record::field("projection_kind", &C::projection_kind),
                             record::field("inner_sphere", &C::inner_sphere),
                             record::field("bridges", &C::bridges), record::field("routing", &C::routing),
                             record::field("laplacian", &C::laplacian), record::field("umap", &C::umap),
                             record::field("spatial", &C::spatial),
                             record::field("min_category_size", &C::min_category_size));
}

}  // namespace korvane::config
