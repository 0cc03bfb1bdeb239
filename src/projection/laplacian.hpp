// Laplacian eigenmap over the Jaccard overlap of active axes (coordinates whose absolute value
// exceeds a threshold): embeddings are placed by the spectrum of a k-nearest-neighbour similarity
// graph and new points are extended out of sample. Suits sparse, feature-like embeddings where
// sharing strong axes matters more than their exact weights.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "common/rows.hpp"
#include "projection/contract.hpp"

namespace korvane::projection {

// Ascending indices j with threshold < |v_j|.
std::vector<std::size_t> active_axes(std::span<const double> embedding, double threshold);

// |A ∩ B| / |A ∪ B| of two ascending index sets; 0 when both are empty.
double jaccard_similarity(std::span<const std::size_t> a, std::span<const std::size_t> b) noexcept;

// A candidate neighbour. Orders by similarity (total order), then by index, so among equal
// similarities the lower index is the first to be dropped from a bounded list.
struct TopKEntry {
    double similarity;
    std::size_t index;

    friend std::strong_ordering operator<=>(const TopKEntry& a, const TopKEntry& b) noexcept {
        if (const auto c = std::strong_order(a.similarity, b.similarity); c != 0) return c;
        return a.index <=> b.index;
    }
    friend bool operator==(const TopKEntry& a, const TopKEntry& b) noexcept { return (a <=> b) == 0; }
};

class LaplacianEigenmapProjection {
public:
    static constexpr bool accepts_any_dimension = true;
    static constexpr std::size_t kDefaultNeighbors = 15;
    static constexpr double kDefaultActiveThreshold = 0.05;

    static Result<LaplacianEigenmapProjection, ProjectionError> fit(const RowsView& embeddings,
                                                                    RadialStrategy radial);
    // Needs at least 4 embeddings and a non-empty first one; the other lengths are free.
    // k_neighbors is clamped to [1, n − 1].
    static Result<LaplacianEigenmapProjection, ProjectionError> fit_with_params(const RowsView& embeddings,
                                                                                std::size_t k_neighbors,
                                                                                RadialStrategy radial,
                                                                                double active_threshold);

    // Length of the first training embedding; queries of any length are accepted.
    std::size_t dimensionality() const noexcept { return state_->dimensionality; }
    std::size_t num_training_points() const noexcept { return state_->degrees.size(); }
    const RadialStrategy& radial() const noexcept { return radial_; }
    double active_threshold() const noexcept { return state_->active_threshold; }
    // Weighted degree of every training node, floored at 1e-6.
    const std::vector<double>& degrees() const noexcept { return state_->degrees; }
    // Unit vectors over the training nodes, in the order of eigenvalues().
    const std::array<std::vector<double>, 3>& eigenvectors() const noexcept { return state_->eigenvectors; }
    // Rayleigh quotients of the normalised affinity matrix, largest first.
    const std::array<double, 3>& eigenvalues() const noexcept { return state_->eigenvalues; }
    // (|μ1| + |μ2| + |μ3|) / 3, in [0, 1].
    double connectivity_ratio() const noexcept { return state_->connectivity_ratio; }
    // The connectivity ratio, for code written against the variance ratio of the linear families.
    double explained_variance_ratio() const noexcept { return connectivity_ratio(); }

    std::array<double, 3> project_to_3d(std::span<const double> embedding) const;
    ProjectedPoint project_rich(std::span<const double> embedding) const;
    geometry::SphericalPoint project(std::span<const double> embedding) const {
        return project_rich(embedding).position;
    }

private:
    struct State {
        std::vector<std::vector<std::size_t>> active_sets;
        // The same sets as bitsets when they are dense enough for that to be cheaper (else empty).
        std::vector<std::uint64_t> bits;
        std::size_t words = 0;
        std::vector<double> degrees;
        std::vector<double> sqrt_degrees;
        std::array<std::vector<double>, 3> eigenvectors;
        std::array<double, 3> eigenvalues{};
        double active_threshold = kDefaultActiveThreshold;
        double connectivity_ratio = 0.0;
        std::size_t dimensionality = 0;

        void index_bitsets();
        // Jaccard similarity of training sets i and j.
        double similarity(std::size_t i, std::size_t j) const noexcept;
    };
    LaplacianEigenmapProjection(std::shared_ptr<const State> state, RadialStrategy radial)
        : state_(std::move(state)), radial_(radial) {}

    std::shared_ptr<const State> state_;  // shared by copies: the fitted model never changes
    RadialStrategy radial_;
};

static_assert(Projection<LaplacianEigenmapProjection>);

}  // namespace korvane::projection
