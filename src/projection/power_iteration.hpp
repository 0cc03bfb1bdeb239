// Power iteration with deflation for the three leading eigenpairs of a symmetric n×n operator,
// shared by the kernel families. The operator is only seen through its product, so callers
// choose the storage (packed dense, sparse) and how the product is parallelised.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace korvane::projection {

struct SpectralComponents {
    std::array<std::vector<double>, 3> vectors;  // in the order they were found
    std::array<double, 3> values{};              // Rayleigh quotients w·(A·w)
};

struct PowerIterationSettings {
    std::uint64_t seed = 0;            // gaussian_vector state, carried across the components
    std::size_t max_iterations = 0;
    // Also remove the excluded direction and the found components from each start vector
    // (the iterates are deflated either way).
    bool deflate_start = false;
};

// out = A·in for the symmetric operator A; `out` has n elements and may hold garbage on entry.
using SymmetricProduct = std::function<void(std::span<const double> in, std::span<double> out)>;

// Each iteration: w = A·v; deflate w against `excluded` (a unit vector, or empty), then against
// the components already found, in order; m = |w|, w /= m when m > ε. m < ε ends the component
// with the current v and the previous estimate; otherwise A·w gives the Rayleigh quotient and is
// reused as the next iteration's product, so every iteration costs exactly one product. Stops
// when 1 − |w·v| < 1e-10 or after max_iterations.
SpectralComponents leading_eigenpairs(std::size_t n, const PowerIterationSettings& settings,
                                      std::span<const double> excluded, const SymmetricProduct& product);

// Sequential dot product: callers rely on its fixed summation order for reproducible results.
double dot_sequential(std::span<const double> a, std::span<const double> b) noexcept;

}  // namespace korvane::projection
