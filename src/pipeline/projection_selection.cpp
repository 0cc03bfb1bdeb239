#include "pipeline/projection_selection.hpp"

#include <cmath>
#include <string_view>
#include <unordered_map>

namespace korvane::pipeline {

using projection::ConfiguredProjection;
using projection::MagnitudeRadius;
using projection::ProjectionError;

std::vector<std::uint32_t> category_ids(std::span<const std::string> categories) {
    std::unordered_map<std::string_view, std::uint32_t> ids;
    std::vector<std::uint32_t> out;
    out.reserve(categories.size());
    for (const auto& name : categories) {
        const auto [it, inserted] = ids.try_emplace(name, static_cast<std::uint32_t>(ids.size()));
        out.push_back(it->second);
    }
    return out;
}

std::vector<double> class_balance_weights(std::span<const std::string> categories) {
    std::unordered_map<std::string_view, std::size_t> counts;
    for (const auto& name : categories) ++counts[name];
    std::vector<double> weights;
    weights.reserve(categories.size());
    for (const auto& name : categories) weights.push_back(1.0 / std::sqrt(static_cast<double>(counts[name])));
    return weights;
}

projection::UmapFitParams umap_params(const UmapConfig& config) {
    projection::UmapFitParams params;
    params.n_neighbors = config.n_neighbors;
    params.n_epochs = config.n_epochs;
    params.learning_rate = 0.05;
    params.negative_sample_rate = 5;
    params.category_weight = config.category_weight;
    params.min_dist = config.min_dist;
    params.warm_start_anchor = config.warm_start_anchor;
    params.seed = config.seed;
    return params;
}

namespace {

template <class Fitted>
Result<ConfiguredProjection, ProjectionError> configured(Fitted fitted) {
    if (!fitted) return Err{std::move(fitted).error()};
    return ConfiguredProjection(std::move(fitted).value());
}

}  // namespace

Result<ConfiguredProjection, ProjectionError> fit_projection_for_config(const RowsView& embeddings,
                                                                        std::span<const std::string> categories,
                                                                        const PipelineConfig& config) {
    switch (config.projection_kind) {
        case ProjectionKind::Pca: {
            auto fitted =
                projection::PcaProjection::fit_weighted(embeddings, class_balance_weights(categories), MagnitudeRadius{});
            if (!fitted) return Err{std::move(fitted).error()};
            fitted->set_volumetric(true);
            return ConfiguredProjection(std::move(fitted).value());
        }
        case ProjectionKind::KernelPca:
            return configured(projection::KernelPcaProjection::fit(embeddings, MagnitudeRadius{}));
        case ProjectionKind::LaplacianEigenmap:
            return configured(projection::LaplacianEigenmapProjection::fit_with_params(
                embeddings, config.laplacian.k_neighbors, MagnitudeRadius{}, config.laplacian.active_threshold));
        case ProjectionKind::UmapSphere: {
            const auto labels = category_ids(categories);
            return configured(
                projection::UmapSphereProjection::fit(embeddings, labels, MagnitudeRadius{}, umap_params(config.umap)));
        }
    }
    return Err{ProjectionError{projection::EmptyInput{}}};  // unreachable: every kind is handled
}

Result<ConfiguredProjection, ProjectionError> fit_umap_from_graph(const projection::UmapGraph& graph,
                                                                  std::span<const std::string> categories,
                                                                  const PipelineConfig& config) {
    const auto labels = category_ids(categories);
    return configured(
        projection::UmapSphereProjection::fit_from_graph(graph, labels, MagnitudeRadius{}, umap_params(config.umap)));
}

}  // namespace korvane::pipeline
