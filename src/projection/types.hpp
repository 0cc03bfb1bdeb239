// What every projection family shares: the radial rule and the rich projection result.
#pragma once

#include <span>
#include <variant>
#include <vector>

#include "geometry/points.hpp"

namespace korvane::projection {

struct FixedRadius {
    double value;
    friend bool operator==(const FixedRadius&, const FixedRadius&) = default;
};
// The radius is the magnitude of the raw, unnormalised embedding.
struct MagnitudeRadius {
    friend bool operator==(const MagnitudeRadius&, const MagnitudeRadius&) = default;
};
using RadialStrategy = std::variant<FixedRadius, MagnitudeRadius>;

inline double radius_for(const RadialStrategy& radial, double magnitude) {
    if (const auto* fixed = std::get_if<FixedRadius>(&radial)) return fixed->value;
    return magnitude;
}

struct ProjectedPoint {
    geometry::SphericalPoint position;
    double certainty = 1.0;             // confidence of the placement, in [0, 1]
    double intensity = 0.0;             // magnitude of the raw embedding
    double projection_magnitude = 1.0;  // length of the 3-D vector before it became a direction
};

// The point at `radius` in the direction of (x, y, z), whose length is `length`; (radius, 0, 0)
// when the vector is too short to have a direction.
geometry::SphericalPoint directed_point(double x, double y, double z, double length, double radius);

// Euclidean norm; 0 for an empty embedding.
double magnitude(std::span<const double> embedding);

// Unit-length copy; a (near-)zero vector becomes the first basis vector of the same length.
std::vector<double> normalized(std::span<const double> embedding);

}  // namespace korvane::projection
