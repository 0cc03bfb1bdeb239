// The categories' territories on the sphere: caps of half-angle = angular spread around each
// projected centroid, their exclusivity, sampled Voronoi cells, overlaps and coverage, plus the
// adaptive bridge threshold and the bridge-quality matrix.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "category/graph.hpp"
#include "category/index_pair.hpp"
#include "config/pipeline_config.hpp"
#include "geometry/points.hpp"
#include "geometry/regions.hpp"

namespace korvane::category {

// The target affinity must exceed this multiple of the source affinity; lossy projections
// raise the bar quadratically in the missing variance.
double bridge_threshold(const config::BridgeConfig& config, double evr);

struct SpatialQuality {
    std::vector<double> cap_areas;
    std::vector<double> territorial_factors;  // cap exclusivity, in [0, 1]
    std::vector<geometry::VoronoiCell> voronoi_cells;
    std::vector<std::vector<double>> bridge_quality_matrix;  // C × C
    std::unordered_map<IndexPair, double, IndexPairHash> overlaps;  // (i < j) → area, only above 1e-15
    double evr = 0.0;
    geometry::CoverageReport coverage;
    double bridge_threshold = 0.0;

    // Everything but the bridge-quality matrix, which starts as C × C zeros. The two lists must
    // have the same length.
    static SpatialQuality compute_with_config(std::span<const geometry::SphericalPoint> centroids,
                                              std::span<const double> half_angles,
                                              const config::PipelineConfig& config, double evr);

    // Territorial-adjusted strength of the strongest bridge of every edge of `graph`.
    void set_bridge_quality_matrix(const CategoryGraph& graph);

    friend bool operator==(const SpatialQuality&, const SpatialQuality&) = default;
};

}  // namespace korvane::category
