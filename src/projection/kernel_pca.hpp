// Kernel PCA with a Gaussian (RBF) kernel: the three leading components of the corpus in kernel
// feature space. Keeps the normalised training corpus, so fitting is O(n²·d) time and O(n²)
// memory, and each projection O(n·d).
#pragma once

#include <array>
#include <memory>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "common/rows.hpp"
#include "projection/contract.hpp"

namespace korvane::projection {

struct KernelCoordinates {
    double x, y, z;
    double feature_distance_sq;  // squared distance from the training centroid in feature space
};

class KernelPcaProjection {
public:
    static constexpr bool accepts_any_dimension = false;

    // σ by the median heuristic: the (upper) median pairwise distance of the normalised points
    // divided by √2, from all pairs up to 100 points and from 5000 seeded pairs above.
    static Result<KernelPcaProjection, ProjectionError> fit(const RowsView& embeddings, RadialStrategy radial);
    // σ must be positive (NaN is rejected too).
    static Result<KernelPcaProjection, ProjectionError> fit_with_sigma(const RowsView& embeddings, double sigma,
                                                                       RadialStrategy radial);

    std::size_t dimensionality() const noexcept { return state_->dimensionality; }
    std::size_t num_training_points() const noexcept { return state_->row_means.size(); }
    const RadialStrategy& radial() const noexcept { return radial_; }
    double sigma() const noexcept { return state_->sigma; }
    double gamma() const noexcept { return state_->gamma; }  // 0.5 / σ²
    // Eigenvalues of the centred kernel matrix, in the order the power iteration found them.
    const std::array<double, 3>& eigenvalues() const noexcept { return state_->eigenvalues; }
    // α_k = v_k / sqrt(λ_k), all zeros when λ_k ≤ ε.
    const std::array<std::vector<double>, 3>& coefficients() const noexcept { return state_->coefficients; }
    const std::vector<double>& row_means() const noexcept { return state_->row_means; }
    double kernel_mean() const noexcept { return state_->kernel_mean; }
    double total_kernel_variance() const noexcept { return state_->total_kernel_variance; }
    bool volumetric() const noexcept { return volumetric_; }
    // Only the owner sets this, before sharing the projection.
    void set_volumetric(bool volumetric) noexcept { volumetric_ = volumetric; }

    // (λ1 + λ2 + λ3) over the trace of the centred kernel, clamped to [0, 1].
    double explained_variance_ratio() const noexcept;

    // `unit` is an already normalised embedding; distances run over the common length.
    KernelCoordinates kernel_project(std::span<const double> unit) const;
    ProjectedPoint project_rich(std::span<const double> embedding) const;
    geometry::SphericalPoint project(std::span<const double> embedding) const {
        return project_rich(embedding).position;
    }

private:
    struct State {
        std::vector<double> training;  // n × d row-major, unit-normalised
        std::array<std::vector<double>, 3> coefficients;
        std::vector<double> row_means;
        std::array<double, 3> eigenvalues{};
        double sigma = 1.0;
        double gamma = 0.5;
        double kernel_mean = 0.0;
        double total_kernel_variance = 0.0;
        std::size_t dimensionality = 0;
    };
    KernelPcaProjection(std::shared_ptr<const State> state, RadialStrategy radial)
        : state_(std::move(state)), radial_(radial) {}

    static Result<KernelPcaProjection, ProjectionError> fit_impl(const RowsView& embeddings,
                                                                 const double* sigma, RadialStrategy radial);

    std::shared_ptr<const State> state_;  // shared by copies: the fitted model never changes
    RadialStrategy radial_;
    bool volumetric_ = false;
};

static_assert(Projection<KernelPcaProjection>);

}  // namespace korvane::projection
