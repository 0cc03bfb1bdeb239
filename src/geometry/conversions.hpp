// Conversions between the point forms. None of them validates its output.
#pragma once

#include <cmath>

#include "geometry/points.hpp"

namespace korvane::geometry {

inline CartesianPoint spherical_to_cartesian(const SphericalPoint& p) {
    const double s = std::sin(p.phi);
    return {p.r * s * std::cos(p.theta), p.r * s * std::sin(p.theta), p.r * std::cos(p.phi)};
}

// Reduces an angle into [0, 2π) the way every conversion does: floating remainder, then +2π.
inline double wrap_azimuth(double angle) {
    double t = std::fmod(angle, kTwoPi);
    if (t < 0.0) t += kTwoPi;
    return t;
}

inline SphericalPoint cartesian_to_spherical(const CartesianPoint& c) {
    const double r = std::sqrt(c.x * c.x + c.y * c.y + c.z * c.z);
    if (r < kEpsilon) return {0.0, 0.0, 0.0};
    const double cos_phi = std::fmin(std::fmax(c.z / r, -1.0), 1.0);
    return {r, wrap_azimuth(std::atan2(c.y, c.x)), std::acos(cos_phi)};
}

SphericalPoint geo_to_spherical(const GeoPoint& g);
GeoPoint spherical_to_geo(const SphericalPoint& p);

inline double magnitude(const CartesianPoint& c) {
    return std::sqrt(c.x * c.x + c.y * c.y + c.z * c.z);
}

// A (near-)zero vector normalises to the origin rather than failing.
inline CartesianPoint normalize(const CartesianPoint& c) {
    const double m = magnitude(c);
    if (m < kEpsilon) return {0.0, 0.0, 0.0};
    return {c.x / m, c.y / m, c.z / m};
}

}  // namespace korvane::geometry
