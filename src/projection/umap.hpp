// Spherical UMAP: unit 3-vectors started from the PCA layout and moved by attraction along the
// fuzzy neighbour graph, repulsion from sampled points and, optionally, attraction within and
// repulsion between categories, each Adam step taken in the tangent plane and renormalised. New
// embeddings land at the similarity-weighted mean of their nearest training points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "common/rows.hpp"
#include "geometry/distance.hpp"
#include "projection/ann.hpp"
#include "projection/contract.hpp"
#include "projection/umap_graph.hpp"
#include "projection/umap_layout.hpp"

namespace korvane::projection {

struct UmapPlacement {
    double x = 0.0, y = 0.0, z = 0.0;
    double confidence = 0.0;
};

class UmapSphereProjection {
public:
    static constexpr bool accepts_any_dimension = false;

    // Empty labels mean no categories (a corpus always has at least 4 embeddings, so an empty
    // label list can never be a complete one).
    static Result<UmapSphereProjection, ProjectionError> fit(const RowsView& embeddings,
                                                             std::span<const std::uint32_t> labels,
                                                             RadialStrategy radial, const UmapFitParams& params);
    static Result<UmapSphereProjection, ProjectionError> fit_from_graph(const UmapGraph& graph,
                                                                        std::span<const std::uint32_t> labels,
                                                                        RadialStrategy radial,
                                                                        const UmapFitParams& params);

    std::size_t dimensionality() const noexcept { return state_->d; }
    std::size_t k() const noexcept { return state_->k; }
    std::size_t size() const noexcept { return state_->positions.size(); }
    const RadialStrategy& radial() const noexcept { return radial_; }
    // Share of graph neighbours that stay layout neighbours, averaged over the nodes; the
    // family's quality figure.
    double neighbor_preservation() const noexcept { return state_->neighbor_preservation; }
    double explained_variance_ratio() const noexcept { return state_->neighbor_preservation; }
    std::span<const geometry::Vec3> positions() const noexcept { return state_->positions; }
    std::span<const double> training_points() const noexcept { return *state_->points; }
    const std::shared_ptr<const AnnIndex>& neighbor_index() const noexcept { return state_->index; }

    // Expects an embedding of the fitted dimensionality (check_input_dimension); any other
    // length yields the origin with confidence 0.
    UmapPlacement project_xyz(std::span<const double> embedding) const;
    ProjectedPoint project_rich(std::span<const double> embedding) const;
    geometry::SphericalPoint project(std::span<const double> embedding) const {
        return project_rich(embedding).position;
    }

private:
    struct State {
        std::size_t d = 0, k = 0;
        std::vector<geometry::Vec3> positions;
        std::shared_ptr<const std::vector<double>> points;
        // (hash, index) of the distinct training points, sorted by hash then index.
        std::vector<std::pair<std::uint64_t, std::uint32_t>> exact_lookup;
        std::shared_ptr<const AnnIndex> index;
        double neighbor_preservation = 1.0;
    };
    UmapSphereProjection(std::shared_ptr<const State> state, RadialStrategy radial)
        : state_(std::move(state)), radial_(radial) {}

    std::shared_ptr<const State> state_;
    RadialStrategy radial_;
};

static_assert(Projection<UmapSphereProjection>);

}  // namespace korvane::projection
