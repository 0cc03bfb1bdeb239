// The category layer of a projected, labelled corpus: summaries, spatial record, bridges, the
// category graph, inner spheres and domain groups. Immutable once built; safe to read from
// many threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "category/bridges.hpp"
#include "category/domain_groups.hpp"
#include "category/graph.hpp"
#include "category/inner_sphere.hpp"
#include "category/spatial_quality.hpp"
#include "category/summary.hpp"
#include "common/rows.hpp"
#include "config/pipeline_config.hpp"
#include "geometry/points.hpp"
#include "projection/configured_projection.hpp"

namespace korvane::category {

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

using NameIndex = std::unordered_map<std::string, std::uint64_t, StringHash, std::equal_to<>>;
using InnerSphereMap = std::unordered_map<std::uint64_t, InnerSphere>;

class CategoryLayer {
public:
    // `categories`, `embeddings` and `positions` describe the same items in the same order (an
    // abort otherwise); all embeddings share one dimension. `evr` is the global projection's
    // quality figure.
    static CategoryLayer build_with_config(std::span<const std::string> categories, const RowsView& embeddings,
                                           std::span<const geometry::SphericalPoint> positions, double evr,
                                           const projection::ConfiguredProjection& projection,
                                           const config::PipelineConfig& config);

    const std::vector<CategorySummary>& summaries() const noexcept { return summaries_; }
    const CategoryGraph& graph() const noexcept { return graph_; }
    const std::vector<geometry::SphericalPoint>& positions() const noexcept { return positions_; }
    const std::vector<DomainGroup>& domain_groups() const noexcept { return domain_groups_; }
    const SpatialQuality& spatial() const noexcept { return spatial_; }
    const NameIndex& name_to_index() const noexcept { return name_to_index_; }
    const InnerSphereMap& inner_spheres() const noexcept { return inner_spheres_; }
    const InnerSphereMap& group_inner_spheres() const noexcept { return group_inner_spheres_; }

    std::optional<std::uint64_t> category_index(std::string_view name) const;

    // Cheapest route between two kept categories; absent for unknown names or no route.
    std::optional<CategoryPath> category_path(std::string_view source, std::string_view target) const;
    // The first k targets of the category's edge list, cheapest first.
    std::vector<std::reference_wrapper<const CategorySummary>> category_neighbors(std::string_view name,
                                                                                  std::size_t k) const;

    // Nearest members of a category, in its inner sphere when it has one, else between global
    // positions. The query must have the corpus dimension.
    std::vector<DrillDownHit> drill_down_with_projection(std::string_view name, std::span<const double> query,
                                                         const projection::ConfiguredProjection& global,
                                                         std::size_t k) const;
    // Nearest members of a domain group in its inner sphere; empty without one.
    std::vector<DrillDownHit> drill_down_group(std::uint64_t group, std::span<const double> query,
                                               std::size_t k) const;
    // Categories with an inner sphere, by category index.
    std::vector<InnerSphereReport> inner_sphere_stats() const;

private:
    CategoryLayer() = default;

    std::vector<CategorySummary> summaries_;
    CategoryGraph graph_;
    std::vector<geometry::SphericalPoint> positions_;
    std::vector<geometry::Vec3> directions_;  // unit direction of each position, for searches
    std::vector<DomainGroup> domain_groups_;
    SpatialQuality spatial_;
    NameIndex name_to_index_;
    InnerSphereMap inner_spheres_;
    InnerSphereMap group_inner_spheres_;
};

}  // namespace korvane::category
