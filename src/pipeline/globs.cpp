#include "pipeline/globs.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/parallel.hpp"

namespace korvane::pipeline {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr int kMaxRounds = 50;

double length(const Point3& p) { return std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]); }

Point3 direction(const Point3& p) {
    const double l = length(p);
    if (l < kEpsilon) return {0.0, 0.0, 0.0};
    return {p[0] / l, p[1] / l, p[2] / l};
}

// Angle between two directions that are unit or zero (a zero one gives angle 0).
double unit_angle(const Point3& u, const Point3& v, bool u_zero, bool v_zero) {
    if (u_zero || v_zero) return 0.0;
    const double c = u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
    return std::acos(std::clamp(c, -1.0, 1.0));
}

struct Directions {
    std::vector<Point3> unit;
    std::vector<char> zero;
    std::vector<double> lengths;

    explicit Directions(std::span<const Point3> points) : unit(points.size()), zero(points.size()), lengths(points.size()) {
        for (std::size_t i = 0; i < points.size(); ++i) {
            lengths[i] = length(points[i]);
            zero[i] = lengths[i] < kEpsilon;
            unit[i] = direction(points[i]);
        }
    }
};

// The angle formula on the raw points: arccos of the clamped normalised dot product, 0 when the
// product of lengths vanishes. Directions are precomputed, so this is one dot product.
double angle(const Directions& d, std::size_t i, std::size_t j) {
    if (d.lengths[i] * d.lengths[j] < kEpsilon) return 0.0;
    return unit_angle(d.unit[i], d.unit[j], false, false);
}

double angle_to(const Directions& d, std::size_t i, const Point3& centre) {
    const double lc = length(centre);
    if (d.lengths[i] * lc < kEpsilon) return 0.0;
    const Point3 c = {centre[0] / lc, centre[1] / lc, centre[2] / lc};
    return unit_angle(d.unit[i], c, false, false);
}

double silhouette(const Directions& d, std::span<const std::size_t> assignments, std::size_t k) {
    const std::size_t n = assignments.size();
    if (k < 2 || n == 0) return 0.0;
    std::vector<std::size_t> sizes(k, 0);
    for (std::size_t c : assignments) ++sizes[c];
    // s(i) per point on the pool; the mean sums them in point order.
    std::vector<double> s(n, 0.0);
    parallel::for_each_chunk(
        n, 64,
        [&](std::size_t begin, std::size_t end) {
            std::vector<double> sums(k);
            for (std::size_t i = begin; i < end; ++i) {
                std::fill(sums.begin(), sums.end(), 0.0);
                for (std::size_t j = 0; j < n; ++j)
                    if (j != i) sums[assignments[j]] += angle(d, i, j);
                const std::size_t own = assignments[i];
                const double a = sizes[own] > 1 ? sums[own] / static_cast<double>(sizes[own] - 1) : 0.0;
                double b = std::numeric_limits<double>::infinity();
                for (std::size_t c = 0; c < k; ++c)
                    if (c != own && sizes[c] > 0) b = std::min(b, sums[c] / static_cast<double>(sizes[c]));
                if (std::isinf(b)) b = 0.0;
                const double m = std::max(a, b);
                s[i] = m > 0.0 ? (b - a) / m : 0.0;
            }
        },
        n >= 256 ? 0 : n + 1);
    double total = 0.0;
    for (double v : s) total += v;
    return total / static_cast<double>(n);
}

KMeansResult kmeans(const Directions& d, std::size_t k) {
    const std::size_t n = d.unit.size();
    KMeansResult result;
    result.assignments.assign(n, 0);
    if (n == 0 || k == 0) return result;
    std::vector<Point3> centres(k);
    for (std::size_t j = 0; j < k; ++j) centres[j] = d.unit[j * n / k];
    for (int round = 0; round < kMaxRounds; ++round) {
        bool changed = false;
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t best = 0;
            double best_angle = std::numeric_limits<double>::infinity();
            for (std::size_t c = 0; c < k; ++c) {
                const double a = angle_to(d, i, centres[c]);
                if (a < best_angle) {
                    best_angle = a;
                    best = c;
                }
            }
            if (result.assignments[i] != best) {
                result.assignments[i] = best;
                changed = true;
            }
        }
        if (!changed) break;
        std::vector<Point3> sums(k, Point3{0.0, 0.0, 0.0});
        std::vector<std::size_t> counts(k, 0);
        for (std::size_t i = 0; i < n; ++i) {
            auto& s = sums[result.assignments[i]];
            for (int a = 0; a < 3; ++a) s[a] += d.unit[i][a];
            ++counts[result.assignments[i]];
        }
        for (std::size_t c = 0; c < k; ++c)
            if (counts[c] > 0) centres[c] = direction(sums[c]);  // an empty cluster keeps its centre
    }
    result.silhouette = silhouette(d, result.assignments, k);
    return result;
}

}  // namespace

double point_angle(const Point3& p, const Point3& q) noexcept {
    const double lp = length(p), lq = length(q);
    if (lp * lq < kEpsilon) return 0.0;
    const double c = (p[0] * q[0] + p[1] * q[1] + p[2] * q[2]) / (lp * lq);
    return std::acos(std::clamp(c, -1.0, 1.0));
}

KMeansResult kmeans_3d(std::span<const Point3> points, std::size_t k) { return kmeans(Directions(points), k); }

std::vector<Glob> build_globs(std::span<const Point3> points, std::span<const std::string> ids,
                              std::span<const std::size_t> assignments, std::size_t k) {
    const Directions d(points);
    std::vector<std::vector<std::size_t>> members(k);
    for (std::size_t i = 0; i < assignments.size(); ++i)
        if (assignments[i] < k) members[assignments[i]].push_back(i);
    std::vector<Glob> globs;
    for (std::size_t f = 0; f < k; ++f) {
        if (members[f].empty()) continue;
        Glob glob;
        glob.id = f;
        Point3 sum{0.0, 0.0, 0.0};
        for (std::size_t i : members[f])
            for (int a = 0; a < 3; ++a) sum[a] += d.unit[i][a];
        glob.centroid = direction(sum);
        for (std::size_t i : members[f]) {
            const double a = angle_to(d, i, glob.centroid);
            glob.member_distances.push_back(a);
            if (a > glob.radius) glob.radius = a;  // NaN never compares greater
            glob.member_ids.push_back(ids[i]);
        }
        globs.push_back(std::move(glob));
    }
    return globs;
}

GlobResult GlobResult::detect(std::span<const Point3> points, std::span<const std::string> ids,
                              std::optional<std::size_t> k, std::size_t max_k) {
    const std::size_t n = points.size();
    const std::size_t cap = std::min(n, std::max<std::size_t>(max_k, 2));
    const Directions d(points);
    GlobResult result;
    if (k) {
        result.k = *k < 2 ? 2 : std::min(*k, cap);
        const KMeansResult run = kmeans(d, result.k);
        result.silhouette = run.silhouette;
        result.globs = build_globs(points, ids, run.assignments, result.k);
        return result;
    }
    if (n == 0) return result;
    if (n == 1) {
        result.k = 2;
        result.silhouette = -std::numeric_limits<double>::infinity();
        result.globs = build_globs(points, ids, std::vector<std::size_t>{0}, 1);
        return result;
    }
    KMeansResult best;
    double best_score = -std::numeric_limits<double>::infinity();
    for (std::size_t candidate = 2; candidate <= cap; ++candidate) {
        KMeansResult run = kmeans(d, candidate);
        if (run.silhouette > best_score || result.k == 0) {
            best_score = run.silhouette;
            best = std::move(run);
            result.k = candidate;
        }
    }
    result.silhouette = best_score;
    result.globs = build_globs(points, ids, best.assignments, result.k);
    return result;
}

}  // namespace korvane::pipeline
