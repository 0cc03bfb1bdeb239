// Principal component analysis onto three axes, plain or class-weighted, by power iteration.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "common/rows.hpp"
#include "projection/contract.hpp"

namespace korvane::projection {

struct Eigen3 {
    std::array<std::vector<double>, 3> vectors;  // unit length, strongest first
    std::array<double, 3> values;                // eigenvalues of (1/n)·XᵀX
};

// The three leading eigenvectors of (1/n)·XᵀX of the n×d row-major `rows`, without forming the
// d×d matrix. Deterministic: seeded, and its reductions do not depend on the thread count.
Eigen3 top_k_eigenvectors(std::span<const double> rows, std::size_t n, std::size_t d);

struct PcaResidual {
    double x, y, z;
    double residual;  // squared length of the centred input the three axes miss
};

class PcaProjection {
public:
    static constexpr bool accepts_any_dimension = false;

    static Result<PcaProjection, ProjectionError> fit(const RowsView& embeddings, RadialStrategy radial);
    // Weights are clamped at 0 (NaN counts as 0); all-zero weights give the unweighted fit.
    static Result<PcaProjection, ProjectionError> fit_weighted(const RowsView& embeddings,
                                                               std::span<const double> weights,
                                                               RadialStrategy radial);
    static PcaProjection from_eigendecomp(std::array<std::vector<double>, 3> components,
                                          std::array<double, 3> eigenvalues, std::vector<double> mean,
                                          std::size_t dimensionality, RadialStrategy radial, double total_variance);

    std::size_t dimensionality() const noexcept { return state_->dimensionality; }
    const RadialStrategy& radial() const noexcept { return radial_; }
    const std::array<std::vector<double>, 3>& components() const noexcept { return state_->components; }
    const std::array<double, 3>& eigenvalues() const noexcept { return state_->eigenvalues; }
    const std::vector<double>& mean() const noexcept { return state_->mean; }
    double total_variance() const noexcept { return state_->total_variance; }
    bool volumetric() const noexcept { return volumetric_; }
    // Only the owner sets this, before sharing the projection.
    void set_volumetric(bool volumetric) noexcept { volumetric_ = volumetric; }

    double explained_variance_ratio() const noexcept;
    PcaResidual project_xyz_residual(std::span<const double> embedding) const noexcept;
    ProjectedPoint project_rich(std::span<const double> embedding) const noexcept;
    geometry::SphericalPoint project(std::span<const double> embedding) const noexcept {
        return project_rich(embedding).position;
    }

private:
    struct State {
        std::array<std::vector<double>, 3> components;
        std::array<double, 3> eigenvalues{};
        std::vector<double> mean;
        std::size_t dimensionality = 0;
        double total_variance = 0.0;
    };
    PcaProjection(std::shared_ptr<const State> state, RadialStrategy radial)
        : state_(std::move(state)), radial_(radial) {}

    std::shared_ptr<const State> state_;  // shared by copies: fitted axes never change
    RadialStrategy radial_;
    bool volumetric_ = false;
};

// Three seeded Gaussian directions (not normalised, not orthogonalised).
class RandomProjection {
public:
    static constexpr bool accepts_any_dimension = false;

    // Dimensions below 3 are a caller error ("embedding dimension must be >= 3").
    static std::optional<RandomProjection> make(std::size_t dimensionality, RadialStrategy radial, std::uint64_t seed);

    std::size_t dimensionality() const noexcept { return state_->dimensionality; }
    const std::array<std::vector<double>, 3>& directions() const noexcept { return state_->directions; }
    geometry::SphericalPoint project(std::span<const double> embedding) const noexcept;
    ProjectedPoint project_rich(std::span<const double> embedding) const noexcept {
        return default_rich(project(embedding), embedding);
    }

private:
    struct State {
        std::array<std::vector<double>, 3> directions;
        std::size_t dimensionality = 0;
    };
    RandomProjection(std::shared_ptr<const State> state, RadialStrategy radial)
        : state_(std::move(state)), radial_(radial) {}

    std::shared_ptr<const State> state_;
    RadialStrategy radial_;
};

static_assert(Projection<PcaProjection>);
static_assert(Projection<RandomProjection>);

}  // namespace korvane::projection
