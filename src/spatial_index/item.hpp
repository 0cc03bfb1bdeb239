// What the spatial index needs from the items it stores.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

#include "geometry/points.hpp"

namespace korvane::spatial_index {

// An item is a copyable value with a string id (unique within one index) and a position on or
// around the sphere.
template <class T>
concept SpatialItem = std::copy_constructible<T> && requires(const T& t) {
    { t.id } -> std::convertible_to<std::string_view>;
    { t.position } -> std::convertible_to<geometry::SphericalPoint>;
};

// The plain item, for callers that only need ids and positions.
struct PointItem {
    std::string id;
    geometry::SphericalPoint position;

    friend bool operator==(const PointItem&, const PointItem&) = default;
};

// Position of an item in the index's storage. Stable for the item's lifetime in the index;
// items are never removed, only replaced in place under the same id.
using EntryId = std::uint32_t;

}  // namespace korvane::spatial_index
