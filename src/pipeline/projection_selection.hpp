// Fitting the projection family a configuration names.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "common/rows.hpp"
#include "config/pipeline_config.hpp"
#include "projection/configured_projection.hpp"

namespace korvane::pipeline {

using config::PipelineConfig;
using config::ProjectionKind;
using config::UmapConfig;

// Every family is fitted with the magnitude radius. PCA is class-balanced (weight 1/sqrt(size
// of the item's category)) and volumetric, so pipeline points lie inside the unit ball.
Result<projection::ConfiguredProjection, projection::ProjectionError> fit_projection_for_config(
    const RowsView& embeddings, std::span<const std::string> categories, const PipelineConfig& config);

// A UMAP layout from a graph built once, so several UMAP settings can be tried cheaply.
Result<projection::ConfiguredProjection, projection::ProjectionError> fit_umap_from_graph(
    const projection::UmapGraph& graph, std::span<const std::string> categories, const PipelineConfig& config);

// Category names to ids in order of first appearance: ["b", "a", "b"] -> [0, 1, 0].
std::vector<std::uint32_t> category_ids(std::span<const std::string> categories);

// 1/sqrt(count of the item's category), the weights of class-balanced PCA.
std::vector<double> class_balance_weights(std::span<const std::string> categories);

projection::UmapFitParams umap_params(const UmapConfig& config);

}  // namespace korvane::pipeline
