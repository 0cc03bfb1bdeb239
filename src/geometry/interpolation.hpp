// Spherical linear interpolation between directions (radii are not used).
#pragma once

#include "geometry/points.hpp"

namespace korvane::geometry {

SphericalPoint slerp(const SphericalPoint& a, const SphericalPoint& b, double t);

}  // namespace korvane::geometry
