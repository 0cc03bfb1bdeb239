#include "pipeline/manifold.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace korvane::pipeline {
namespace {

constexpr int kMaxRotations = 50;
constexpr double kOffDiagonalTolerance = 1e-15;
constexpr double kQuarterPi = 0.7853981633974483;

using Matrix3 = std::array<std::array<double, 3>, 3>;

// Rotates the symmetric matrix a on the (p, q) plane so that a[p][q] becomes zero, and
// accumulates the rotation into the columns of v.
void rotate(Matrix3& a, Matrix3& v, int p, int q) {
    const double diff = a[p][p] - a[q][q];
    const double theta = std::fabs(diff) < 1e-30 ? kQuarterPi : 0.5 * std::atan(2.0 * a[p][q] / diff);
    const double c = std::cos(theta), s = std::sin(theta);
    for (int k = 0; k < 3; ++k) {  // a ← a·R
        const double akp = a[k][p], akq = a[k][q];
        a[k][p] = c * akp + s * akq;
        a[k][q] = -s * akp + c * akq;
    }
    for (int k = 0; k < 3; ++k) {  // a ← Rᵀ·a
        const double apk = a[p][k], aqk = a[q][k];
        a[p][k] = c * apk + s * aqk;
        a[q][k] = -s * apk + c * aqk;
    }
    a[p][q] = a[q][p] = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double vkp = v[k][p], vkq = v[k][q];
        v[k][p] = c * vkp + s * vkq;
        v[k][q] = -s * vkp + c * vkq;
    }
}

}  // namespace

SlicingManifold fit_manifold(std::span<const Point3> points) {
    SlicingManifold m;
    const double n = static_cast<double>(points.size());
    for (const auto& p : points)
        for (int a = 0; a < 3; ++a) m.centroid[a] += p[a];
    for (double& c : m.centroid) c /= n;

    Matrix3 cov{};
    for (const auto& p : points) {
        const Point3 d{p[0] - m.centroid[0], p[1] - m.centroid[1], p[2] - m.centroid[2]};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) cov[r][c] += d[r] * d[c];
    }
    for (auto& row : cov)
        for (double& x : row) x /= n;

    Matrix3 vectors{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    for (int rotation = 0; rotation < kMaxRotations; ++rotation) {
        int p = 0, q = 1;
        double largest = std::fabs(cov[0][1]);
        if (std::fabs(cov[0][2]) > largest) largest = std::fabs(cov[0][2]), p = 0, q = 2;
        if (std::fabs(cov[1][2]) > largest) largest = std::fabs(cov[1][2]), p = 1, q = 2;
        if (!(largest >= kOffDiagonalTolerance)) break;
        rotate(cov, vectors, p, q);
    }

    std::array<int, 3> order{0, 1, 2};
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return cov[a][a] > cov[b][b]; });
    const auto column = [&](int j) { return Point3{vectors[0][j], vectors[1][j], vectors[2][j]}; };
    m.axes = {column(order[0]), column(order[1])};
    m.normal = column(order[2]);
    const double l1 = cov[order[0]][order[0]], l2 = cov[order[1]][order[1]], l3 = cov[order[2]][order[2]];
    const double total = l1 + l2 + l3;
    m.variance_ratio = total > 0.0 ? (l1 + l2) / total : 1.0;
    return m;
}

SlicingManifold fit_local_manifold(const Point3& query, std::span<const Point3> points, std::size_t neighborhood_k) {
    std::vector<double> distance(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double dx = points[i][0] - query[0], dy = points[i][1] - query[1], dz = points[i][2] - query[2];
        distance[i] = std::sqrt(dx * dx + dy * dy + dz * dz);
    }
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const std::size_t m = std::min(std::max<std::size_t>(neighborhood_k, 3), points.size());
    // Only the first m matter; a stable partial order keeps equal distances in point order.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return distance[a] < distance[b]; });
    std::vector<Point3> nearest(m);
    for (std::size_t i = 0; i < m; ++i) nearest[i] = points[order[i]];
    return fit_manifold(nearest);
}

}  // namespace korvane::pipeline
