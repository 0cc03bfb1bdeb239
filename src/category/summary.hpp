// Per-category summaries: members, embedding centroid and the centroid's place on the sphere.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/rows.hpp"
#include "geometry/points.hpp"
#include "projection/configured_projection.hpp"

namespace korvane::category {

struct CategorySummary {
    std::string name;
    std::vector<std::uint64_t> member_indices;  // ascending
    std::vector<double> centroid;               // mean of the members' embeddings
    geometry::SphericalPoint centroid_position;
    double angular_spread = 0.0;  // radians
    double cohesion = 1.0;        // 1 / (1 + angular_spread)
    std::uint64_t member_count = 0;
    double cap_area = 0.0;
    double territorial_factor = 0.0;
    double voronoi_area = 0.0;
    double density = 0.0;
    double bridge_quality = 0.0;

    friend bool operator==(const CategorySummary&, const CategorySummary&) = default;
};

// Items grouped by label in order of first appearance, with groups below `min_size` dropped.
struct CategoryGroups {
    std::vector<std::string> names;
    std::vector<std::vector<std::uint64_t>> members;  // each ascending
};

CategoryGroups group_by_label(std::span<const std::string> labels, std::uint64_t min_size);

// Members must be valid item indices of `embeddings` and `positions`. The spatial fields and
// bridge_quality are left at 0.
CategorySummary summarize_category(std::string name, std::vector<std::uint64_t> members, const RowsView& embeddings,
                                   std::span<const geometry::SphericalPoint> positions,
                                   const projection::ConfiguredProjection& projection);

}  // namespace korvane::category
