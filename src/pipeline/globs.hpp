// Dense regions ("globs") of the projected items: spherical k-means on directions, the cluster
// count chosen by silhouette unless the caller fixes it. Deterministic: no random choices.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvane::pipeline {

using Point3 = std::array<double, 3>;

struct KMeansResult {
    std::vector<std::size_t> assignments;  // cluster of each point, in point order
    double silhouette = 0.0;
};

struct Glob {
    std::vector<std::string> member_ids;     // ascending point order
    std::vector<double> member_distances;    // angle of each member from the centroid
    std::uint64_t id = 0;                    // the cluster it came from; ids may skip numbers
    Point3 centroid{};                       // unit mean direction (zero when it vanishes)
    double radius = 0.0;                     // largest member angle
};

struct GlobResult {
    std::vector<Glob> globs;  // ascending id
    std::size_t k = 0;
    double silhouette = 0.0;

    // `k` absent: every count from 2 to min(n, max(max_k, 2)) is tried and the best silhouette
    // wins (the smaller count on ties). An explicit k is raised to 2 and capped the same way.
    static GlobResult detect(std::span<const Point3> points, std::span<const std::string> ids,
                             std::optional<std::size_t> k, std::size_t max_k);
};

// Angle between two points, radii ignored; 0 when either is (near) zero.
double point_angle(const Point3& p, const Point3& q) noexcept;

KMeansResult kmeans_3d(std::span<const Point3> points, std::size_t k);
std::vector<Glob> build_globs(std::span<const Point3> points, std::span<const std::string> ids,
                              std::span<const std::size_t> assignments, std::size_t k);

}  // namespace korvane::pipeline
