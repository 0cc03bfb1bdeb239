#include "category/spatial_quality.hpp"

#include "category/check.hpp"
#include "category/territory.hpp"
#include "common/parallel.hpp"

namespace korvane::category {

double bridge_threshold(const config::BridgeConfig& config, double evr) {
    const double missing = 1.0 - evr;
    return config.threshold_base + config.threshold_evr_penalty * (missing * missing);
}

SpatialQuality SpatialQuality::compute_with_config(std::span<const geometry::SphericalPoint> centroids,
                                                   std::span<const double> half_angles,
                                                   const config::PipelineConfig& config, double evr) {
    require(centroids.size() == half_angles.size(), "centroids and half_angles must have matching length");
    const std::size_t n = centroids.size();
    SpatialQuality q;
    q.cap_areas.reserve(n);
    for (double h : half_angles) q.cap_areas.push_back(geometry::cap_area(h));
    // Each cap samples C × exclusivity_samples containment tests on its own seed: one cap per
    // chunk keeps the result independent of the thread count.
    q.territorial_factors.assign(n, 1.0);
    parallel::for_each_chunk(n, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            auto factor = geometry::cap_exclusivity(i, centroids, half_angles, config.spatial.exclusivity_samples);
            if (factor) q.territorial_factors[i] = *factor;
        }
    });
    q.voronoi_cells = geometry::spherical_voronoi(centroids, config.spatial.voronoi_samples);
    for (const auto& o : geometry::pairwise_overlaps(centroids, half_angles)) q.overlaps.emplace(IndexPair{o.i, o.j}, o.area);
    // Without categories there is nothing to cover: an all-zero report rather than every sample void.
    if (n > 0) q.coverage = geometry::estimate_coverage(centroids, half_angles, config.spatial.coverage_samples);
    q.bridge_quality_matrix.assign(n, std::vector<double>(n, 0.0));
    q.evr = evr;
    q.bridge_threshold = category::bridge_threshold(config.bridges, evr);
    return q;
}

void SpatialQuality::set_bridge_quality_matrix(const CategoryGraph& graph) {
    const std::size_t t = territorial_factors.size();
    bridge_quality_matrix.assign(t, std::vector<double>(t, 0.0));
    for (std::size_t i = 0; i < graph.adjacency.size(); ++i) {
        for (const auto& e : graph.adjacency[i]) {
            // A graph larger than the factor list has no matrix cells for its extra categories.
            if (i >= t || e.target >= t) continue;
            bridge_quality_matrix[i][e.target] =
                pair_territorial(territorial_factors, i, e.target) * e.max_bridge_strength;
        }
    }
}

}  // namespace korvane::category
