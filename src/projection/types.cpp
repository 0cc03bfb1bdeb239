#include "projection/types.hpp"

#include <algorithm>
#include <cmath>

#include "geometry/conversions.hpp"

namespace korvane::projection {

geometry::SphericalPoint directed_point(double x, double y, double z, double length, double radius) {
    if (length < geometry::kEpsilon) return {radius, 0.0, 0.0};
    const geometry::CartesianPoint direction{x / length, y / length, z / length};
    if (geometry::magnitude(direction) < geometry::kEpsilon) return {radius, 0.0, 0.0};
    const geometry::SphericalPoint angles = geometry::cartesian_to_spherical(direction);
    return {radius, angles.theta, angles.phi};
}

double magnitude(std::span<const double> embedding) {
    double sum = 0.0;
    for (double v : embedding) sum += v * v;
    return std::sqrt(sum);
}

std::vector<double> normalized(std::span<const double> embedding) {
    std::vector<double> out(embedding.begin(), embedding.end());
    if (out.empty()) return out;
    const double m = magnitude(embedding);
    if (m < geometry::kEpsilon) {
        std::fill(out.begin(), out.end(), 0.0);
        out[0] = 1.0;
        return out;
    }
    for (double& v : out) v /= m;
    return out;
}

}  // namespace korvane::projection
