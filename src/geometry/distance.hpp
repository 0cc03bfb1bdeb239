// Distances on the sphere and cosine similarity of plain vectors. These sit in inner loops:
// closed-form arithmetic, no allocation, no validation.
#pragma once

#include <array>
#include <cmath>
#include <span>

#include "common/result.hpp"
#include "geometry/conversions.hpp"
#include "geometry/error.hpp"

namespace korvane::geometry {

using Vec3 = std::array<double, 3>;

inline Vec3 unit_direction(const SphericalPoint& p) {
    const double s = std::sin(p.phi);
    return {s * std::cos(p.theta), s * std::sin(p.theta), std::cos(p.phi)};
}

inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }

// atan2 of |u×v| and u·v stays accurate for tiny and near-antipodal angles, unlike acos.
inline double angle_between(const Vec3& u, const Vec3& v) { return std::atan2(norm(cross(u, v)), dot(u, v)); }

// Radii are ignored: the angle between the two directions, in [0, π].
inline double angular_distance(const SphericalPoint& a, const SphericalPoint& b) {
    return angle_between(unit_direction(a), unit_direction(b));
}

inline double great_circle_distance(const SphericalPoint& a, const SphericalPoint& b, double radius) {
    return angular_distance(a, b) * radius;
}

// Euclidean distance between the Cartesian forms, radii included.
inline double chord_distance(const SphericalPoint& a, const SphericalPoint& b) {
    const CartesianPoint p = spherical_to_cartesian(a);
    const CartesianPoint q = spherical_to_cartesian(b);
    const double dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// 0 when either norm vanishes; clamped to [-1, 1]. One pass over both vectors.
inline double cosine_similarity_unchecked(const double* a, const double* b, std::size_t n) {
    double ab = 0.0, aa = 0.0, bb = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        ab += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
    const double denominator = std::sqrt(aa) * std::sqrt(bb);
    if (denominator < kEpsilon) return 0.0;
    return std::fmin(std::fmax(ab / denominator, -1.0), 1.0);
}

inline Result<double, KorvaneError> cosine_similarity(std::span<const double> a, std::span<const double> b) {
    if (a.size() != b.size()) return Err{KorvaneError{DimensionMismatch{a.size(), b.size()}}};
    return cosine_similarity_unchecked(a.data(), b.data(), a.size());
}

}  // namespace korvane::geometry
