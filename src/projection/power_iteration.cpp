#include "projection/power_iteration.hpp"

#include <cmath>
#include <utility>

#include "common/random.hpp"
#include "geometry/points.hpp"

namespace korvane::projection {
namespace {

constexpr double kConvergence = 1e-10;

// w -= (w·u)·u, with w·u taken after every earlier subtraction (modified Gram–Schmidt).
void remove_direction(std::span<double> w, std::span<const double> u) noexcept {
    const double along = dot_sequential(w, u);
    for (std::size_t i = 0; i < w.size(); ++i) w[i] -= along * u[i];
}

double norm(std::span<const double> v) noexcept { return std::sqrt(dot_sequential(v, v)); }

void divide(std::span<double> v, double by) noexcept {
    for (double& x : v) x /= by;
}

}  // namespace

double dot_sequential(std::span<const double> a, std::span<const double> b) noexcept {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
    return sum;
}

SpectralComponents leading_eigenpairs(std::size_t n, const PowerIterationSettings& settings,
                                      std::span<const double> excluded, const SymmetricProduct& product) {
    constexpr double eps = geometry::kEpsilon;
    SpectralComponents out;
    std::uint64_t state = settings.seed;

    std::vector<double> v, w(n), av(n), aw(n);
    for (std::size_t k = 0; k < 3; ++k) {
        const auto deflate = [&](std::span<double> x) {
            if (!excluded.empty()) remove_direction(x, excluded);
            for (std::size_t j = 0; j < k; ++j) remove_direction(x, out.vectors[j]);
        };

        v = random::gaussian_vector(state, n);
        if (settings.deflate_start) deflate(v);
        if (const double m = norm(v); m > eps) divide(v, m);

        product(v, av);
        double previous = 0.0;
        for (std::size_t iteration = 1;; ++iteration) {
            w.assign(av.begin(), av.end());
            deflate(w);
            const double m = norm(w);
            if (m > eps) divide(w, m);
            if (m < eps) {
                out.vectors[k] = v;
                out.values[k] = previous;
                break;
            }
            product(w, aw);
            const double lambda = dot_sequential(w, aw);
            double change = 1.0 - std::fabs(dot_sequential(w, v));
            if (change < 0.0) change = 0.0;
            if (change < kConvergence || iteration >= settings.max_iterations) {
                out.vectors[k] = w;
                out.values[k] = lambda;
                break;
            }
            std::swap(v, w);
            std::swap(av, aw);
            previous = lambda;
        }
    }
    return out;
}

}  // namespace korvane::projection
