// The fuzzy k-nearest-neighbour graph a spherical UMAP layout is optimised over.
//
// Built once per corpus and neighbour count, then shared by every layout fitted from it (copies
// share the built state, including the neighbour index).
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
#include "projection/error.hpp"

namespace korvane::projection {

// From this many points on, neighbour searches go through an AnnIndex instead of exact search.
inline constexpr std::size_t kApproximateNeighborsFrom = 2000;

// Ragged rows of neighbour indices and cosine distances max(1 - similarity, 0), same order.
struct KnnDistanceRows {
    std::vector<std::size_t> offsets{0};
    std::vector<std::uint32_t> neighbors;
    std::vector<double> distances;

    std::size_t size() const noexcept { return offsets.size() - 1; }
};

KnnDistanceRows split_knn_rows(const NeighborRows& rows);

// Per-row fuzzy memberships exp(-max(d - ρ, 0) / σ), σ found by bisection so that the row's
// memberships sum to log2(row length).
std::vector<double> row_memberships(const KnnDistanceRows& rows);

class UmapGraph {
public:
    static Result<UmapGraph, ProjectionError> build(const RowsView& embeddings, std::size_t n_neighbors);

    std::size_t size() const noexcept { return state_->n; }
    std::size_t dimensionality() const noexcept { return state_->d; }
    std::size_t k() const noexcept { return state_->k; }

    // Row i: neighbours best first, with their symmetrised membership weights in the same order.
    std::span<const std::uint32_t> neighbors(std::size_t i) const noexcept {
        return {state_->neighbors.data() + state_->offsets[i], state_->offsets[i + 1] - state_->offsets[i]};
    }
    std::span<const double> weights(std::size_t i) const noexcept {
        return {state_->weights.data() + state_->offsets[i], state_->offsets[i + 1] - state_->offsets[i]};
    }
    // The rows as one buffer each: row i spans [row_offsets()[i], row_offsets()[i + 1]).
    std::span<const std::size_t> row_offsets() const noexcept { return state_->offsets; }
    std::span<const std::uint32_t> all_neighbors() const noexcept { return state_->neighbors; }
    std::span<const double> all_weights() const noexcept { return state_->weights; }

    // Unit-normalised embeddings, row-major n×d.
    std::span<const double> training_points() const noexcept { return *state_->points; }
    std::span<const double> training_point(std::size_t i) const noexcept {
        return {state_->points->data() + i * state_->d, state_->d};
    }
    const std::shared_ptr<const std::vector<double>>& shared_training_points() const noexcept {
        return state_->points;
    }
    // Unit 3-vectors of the PCA layout, the optimiser's start.
    std::span<const geometry::Vec3> initial_positions() const noexcept { return state_->initial; }
    // Present only from kApproximateNeighborsFrom points on.
    const std::shared_ptr<const AnnIndex>& neighbor_index() const noexcept { return state_->index; }

private:
    struct State {
        std::size_t n = 0, d = 0, k = 0;
        std::vector<std::size_t> offsets;
        std::vector<std::uint32_t> neighbors;
        std::vector<double> weights;
        std::shared_ptr<const std::vector<double>> points;
        std::vector<geometry::Vec3> initial;
        std::shared_ptr<const AnnIndex> index;
    };
    explicit UmapGraph(std::shared_ptr<const State> state) : state_(std::move(state)) {}

    std::shared_ptr<const State> state_;
};

}  // namespace korvane::projection
