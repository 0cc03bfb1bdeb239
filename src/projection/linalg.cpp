#include "projection/linalg.hpp"

#include <cmath>

namespace korvane::projection::linalg {

double norm(std::span<const double> a) noexcept { return std::sqrt(dot(a, a)); }

}  // namespace korvane::projection::linalg
