// Territory terms shared by bridges, edges, paths and the bridge-quality matrix.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>

#include "geometry/regions.hpp"

namespace korvane::category {

// Pairs whose caps overlap completely still keep a twentieth of their strength.
inline constexpr double kTerritorialFloor = 0.05;

// Territorial factor of a category; categories beyond the list count as fully exclusive.
inline double territorial_factor_of(std::span<const double> factors, std::uint64_t index) {
    return index < factors.size() ? factors[index] : 1.0;
}

// Geometric mean of the two factors, floored.
inline double pair_territorial(std::span<const double> factors, std::uint64_t a, std::uint64_t b) {
    return std::fmax(std::sqrt(territorial_factor_of(factors, a) * territorial_factor_of(factors, b)),
                     kTerritorialFloor);
}

// Whether `b` borders cell `a`; false when there is no cell `a`.
inline bool voronoi_neighbors(std::span<const geometry::VoronoiCell> cells, std::uint64_t a, std::uint64_t b) {
    if (a >= cells.size()) return false;
    const auto& n = cells[a].neighbors;
    return std::binary_search(n.begin(), n.end(), b);
}

}  // namespace korvane::category
