// A plain dense symmetric eigen-solver (cyclic Jacobi rotations), independent of the library's
// own iterations, for cross-checking fitted spectra in tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace korvane::projection::testing {

struct DenseEigen {
    std::vector<double> values;
    std::vector<std::vector<double>> vectors;
};

inline DenseEigen jacobi(std::vector<double> a, std::size_t n) {
    std::vector<double> v(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) v[i * n + i] = 1.0;
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0, all = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < n; ++j) {
                all += a[i * n + j] * a[i * n + j];
                if (i != j) off += a[i * n + j] * a[i * n + j];
            }
        }
        if (off <= 1e-30 * all || off == 0.0) break;
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (apq == 0.0) continue;
                const double theta = (a[q * n + q] - a[p * n + p]) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < n; ++k) {
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - s * akq;
                    a[k * n + q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - s * aqk;
                    a[q * n + k] = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double vkp = v[k * n + p], vkq = v[k * n + q];
                    v[k * n + p] = c * vkp - s * vkq;
                    v[k * n + q] = s * vkp + c * vkq;
                }
            }
        }
    }
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) { return a[x * n + x] > a[y * n + y]; });
    DenseEigen out;
    for (std::size_t idx : order) {
        out.values.push_back(a[idx * n + idx]);
        std::vector<double> column(n);
        for (std::size_t k = 0; k < n; ++k) column[k] = v[k * n + idx];
        out.vectors.push_back(column);
    }
    return out;
}

}  // namespace korvane::projection::testing
