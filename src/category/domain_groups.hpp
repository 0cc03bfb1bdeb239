// Coarse groups of neighbouring, overlapping categories by average-linkage clustering.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "category/spatial_quality.hpp"
#include "category/summary.hpp"
#include "geometry/points.hpp"

namespace korvane::category {

struct DomainGroup {
    std::vector<std::uint64_t> member_categories;  // in merge order
    std::vector<std::string> category_names;
    geometry::SphericalPoint centroid;  // unit direction of the summed member centroid directions
    double angular_spread = 0.0;
    double cohesion = 1.0;
    std::uint64_t total_items = 0;

    friend bool operator==(const DomainGroup&, const DomainGroup&) = default;
};

inline constexpr const char* kDomainGroupsLogTarget = "korvane_embed::domain_groups";

// Symmetric C × C affinity (row-major): up to 0.5 for Voronoi adjacency plus up to 0.5 for the
// overlap as a share of the smaller cap.
std::vector<double> category_affinity(std::size_t category_count, const SpatialQuality& spatial);

// Merges the categories into min(C, max(requested, 1)) groups. A request above C is clamped
// with a warning log event.
std::vector<DomainGroup> detect_domain_groups(std::span<const CategorySummary> summaries,
                                              const SpatialQuality& spatial, std::uint64_t requested);

// `member_categories` must be non-empty valid indices into `summaries`.
DomainGroup build_group(std::span<const CategorySummary> summaries, std::vector<std::uint64_t> member_categories);

}  // namespace korvane::category
