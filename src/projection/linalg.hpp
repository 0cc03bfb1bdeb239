// Small dense kernels shared by the projection families. Reductions use four interleaved
// accumulators combined in a fixed order, so they vectorise without reassociation and give the
// same bits on every run and thread count.
#pragma once

#include <cstddef>
#include <span>

namespace korvane::projection::linalg {

inline double dot(const double* a, const double* b, std::size_t n) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

inline double dot(std::span<const double> a, std::span<const double> b) noexcept {
    return dot(a.data(), b.data(), a.size());
}

// y += alpha * x
inline void axpy(double alpha, const double* x, double* y, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) y[i] += alpha * x[i];
}

double norm(std::span<const double> a) noexcept;

}  // namespace korvane::projection::linalg
