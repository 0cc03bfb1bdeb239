#include "spatial_index/spatial_index.hpp"

namespace korvane::spatial_index {

SpatialIndexBuilder& SpatialIndexBuilder::uniform_shells(std::size_t count, double max_radius) {
    if (count == 0) return *this;
    const double n = static_cast<double>(count);
    for (std::size_t j = 0; j <= count; ++j) boundaries_.push_back(static_cast<double>(j) * max_radius / n);
    return *this;
}

SpatialIndexBuilder& SpatialIndexBuilder::boundary(double radius) {
    boundaries_.push_back(radius);
    return *this;
}

SpatialIndexBuilder& SpatialIndexBuilder::theta_divisions(std::size_t divisions) {
    theta_divisions_ = divisions;
    return *this;
}

SpatialIndexBuilder& SpatialIndexBuilder::phi_divisions(std::size_t divisions) {
    phi_divisions_ = divisions;
    return *this;
}

}  // namespace korvane::spatial_index
