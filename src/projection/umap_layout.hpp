// The optimiser of the spherical UMAP layout and the curve its similarity follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "geometry/distance.hpp"
#include "projection/umap_graph.hpp"

namespace korvane::projection {

struct UmapFitParams {
    std::size_t n_neighbors = 15;
    std::size_t n_epochs = 200;
    double learning_rate = 0.05;
    std::size_t negative_sample_rate = 5;
    double category_weight = 1.5;
    double min_dist = 0.1;
    double warm_start_anchor = 0.0;
    std::uint64_t seed = 0xA1B2C3D4;
};

// (a, b) of the low-dimensional similarity 1 / (1 + a·d^(2b)), fitted to min_dist by a refining
// grid search on (log10 a, b).
struct CurveParameters {
    double a = 1.0;
    double b = 1.0;
};
CurveParameters fit_curve_parameters(double min_dist);

// Runs the epochs from the graph's initial positions and returns the final unit 3-vectors.
// `labels` is one label per node when the category terms apply, empty otherwise. Deterministic
// for a given seed, and independent of the thread count.
std::vector<geometry::Vec3> optimize_layout(const UmapGraph& graph, std::span<const std::uint32_t> labels,
                                            const UmapFitParams& params);

namespace detail {
// x^y for x > 0 through an in-house exp and log: a few ulps from std::pow, several times faster
// and free of the C library, so the layout is the same wherever it runs. Exposed for testing.
double kernel_pow(double x, double y) noexcept;
// value % divisor without a division instruction; divisor in [1, 2^32).
struct FastModulo {
    explicit FastModulo(std::uint32_t divisor) noexcept;
    std::uint32_t operator()(std::uint64_t value) const noexcept;
    std::uint64_t magic_high, magic_low;  // ceil(2^128 / divisor), modulo 2^128
    std::uint32_t divisor;
};
}  // namespace detail

}  // namespace korvane::projection
