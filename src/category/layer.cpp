#include "category/layer.hpp"

#include <algorithm>
#include <cmath>

#include "category/check.hpp"
#include "category/territory.hpp"
#include "common/parallel.hpp"
#include "geometry/distance.hpp"

namespace korvane::category {
namespace {

// One fit per non-empty subset, keyed by its position; fits run side by side, each on its own
// slot, so the spheres do not depend on the thread count.
InnerSphereMap fit_inner_spheres(const std::vector<std::vector<std::uint64_t>>& subsets, const RowsView& embeddings,
                                 const projection::ConfiguredProjection& projection,
                                 const config::InnerSphereConfig& config) {
    std::vector<std::optional<InnerSphere>> fitted(subsets.size());
    parallel::for_each_chunk(subsets.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            if (!subsets[i].empty()) fitted[i] = fit_inner_sphere(subsets[i], embeddings, projection, config);
    });
    InnerSphereMap spheres;
    for (std::size_t i = 0; i < fitted.size(); ++i)
        if (fitted[i]) spheres.emplace(i, std::move(*fitted[i]));
    return spheres;
}

}  // namespace

CategoryLayer CategoryLayer::build_with_config(std::span<const std::string> categories, const RowsView& embeddings,
                                               std::span<const geometry::SphericalPoint> positions, double evr,
                                               const projection::ConfiguredProjection& projection,
                                               const config::PipelineConfig& config) {
    require(categories.size() == embeddings.size() && embeddings.size() == positions.size(),
            "categories, embeddings and positions must have matching length");
    CategoryLayer layer;
    layer.positions_.assign(positions.begin(), positions.end());
    layer.directions_.reserve(positions.size());
    for (const auto& p : positions) layer.directions_.push_back(geometry::unit_direction(p));

    CategoryGroups groups = group_by_label(categories, config.min_category_size);
    const std::size_t count = groups.names.size();
    for (std::size_t c = 0; c < count; ++c) layer.name_to_index_.emplace(groups.names[c], c);
    // Categories are independent and each writes its own slot: parallel and still bit-identical.
    layer.summaries_.resize(count);
    parallel::for_each_chunk(count, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c)
            layer.summaries_[c] = summarize_category(std::move(groups.names[c]), std::move(groups.members[c]),
                                                     embeddings, positions, projection);
    });
    auto& summaries = layer.summaries_;

    std::vector<geometry::SphericalPoint> centres(count);
    std::vector<double> spreads(count);
    for (std::size_t c = 0; c < count; ++c) {
        centres[c] = summaries[c].centroid_position;
        spreads[c] = summaries[c].angular_spread;
    }
    layer.spatial_ = SpatialQuality::compute_with_config(centres, spreads, config, evr);
    auto& spatial = layer.spatial_;
    for (std::size_t c = 0; c < count; ++c) {
        auto& s = summaries[c];
        s.cap_area = spatial.cap_areas[c];
        s.territorial_factor = spatial.territorial_factors[c];
        s.voronoi_area = c < spatial.voronoi_cells.size() ? spatial.voronoi_cells[c].area : 0.0;
        s.density = s.voronoi_area > 1e-15 ? static_cast<double>(s.member_count) / s.voronoi_area : 0.0;
    }

    layer.graph_.bridges =
        detect_bridges(embeddings, summaries, spatial.territorial_factors, spatial.bridge_threshold);
    classify_bridges(layer.graph_.bridges, spatial.territorial_factors, spatial.evr, config.bridges);
    layer.graph_.adjacency = build_edges(summaries, layer.graph_.bridges, spatial.voronoi_cells);

    for (std::size_t c = 0; c < count; ++c) {
        const auto& edges = layer.graph_.adjacency[c];
        if (edges.empty()) continue;
        double sum = 0.0;
        for (const auto& e : edges)
            sum += pair_territorial(spatial.territorial_factors, c, e.target) * e.mean_bridge_strength;
        summaries[c].bridge_quality = sum / static_cast<double>(edges.size());
    }
    spatial.set_bridge_quality_matrix(layer.graph_);

    const auto& inner = config.inner_sphere;
    std::vector<std::vector<std::uint64_t>> subsets(count);
    for (std::size_t c = 0; c < count; ++c)
        if (summaries[c].member_count >= inner.min_size) subsets[c] = summaries[c].member_indices;
    layer.inner_spheres_ = fit_inner_spheres(subsets, embeddings, projection, inner);

    layer.domain_groups_ = detect_domain_groups(summaries, spatial, config.routing.num_domain_groups);

    if (layer.domain_groups_.size() >= 2) {
        std::vector<std::vector<std::uint64_t>> items(layer.domain_groups_.size());
        for (std::size_t g = 0; g < items.size(); ++g) {
            for (std::uint64_t c : layer.domain_groups_[g].member_categories)
                items[g].insert(items[g].end(), summaries[c].member_indices.begin(), summaries[c].member_indices.end());
            if (items[g].size() < inner.min_size) items[g].clear();
        }
        layer.group_inner_spheres_ = fit_inner_spheres(items, embeddings, projection, inner);
    }
    return layer;
}

std::optional<std::uint64_t> CategoryLayer::category_index(std::string_view name) const {
    const auto it = name_to_index_.find(name);
    if (it == name_to_index_.end()) return std::nullopt;
    return it->second;
}

std::optional<CategoryPath> CategoryLayer::category_path(std::string_view source, std::string_view target) const {
    const auto s = category_index(source);
    const auto t = category_index(target);
    if (!s || !t) return std::nullopt;
    return shortest_category_path(graph_, summaries_, spatial_.territorial_factors, spatial_.voronoi_cells, *s, *t);
}

std::vector<std::reference_wrapper<const CategorySummary>> CategoryLayer::category_neighbors(std::string_view name,
                                                                                             std::size_t k) const {
    std::vector<std::reference_wrapper<const CategorySummary>> out;
    const auto index = category_index(name);
    if (!index) return out;
    const auto& edges = graph_.adjacency[*index];
    const std::size_t n = std::min(k, edges.size());
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) out.emplace_back(summaries_[edges[i].target]);
    return out;
}

std::vector<DrillDownHit> CategoryLayer::drill_down_with_projection(std::string_view name,
                                                                    std::span<const double> query,
                                                                    const projection::ConfiguredProjection& global,
                                                                    std::size_t k) const {
    const auto index = category_index(name);
    if (!index || k == 0) return {};
    if (const auto it = inner_spheres_.find(*index); it != inner_spheres_.end())
        return drill_down_sphere(it->second, query, k);

    const geometry::Vec3 q = geometry::unit_direction(global.project(query));
    const auto& members = summaries_[*index].member_indices;
    return nearest_by_angle(q, members, [&](std::size_t i) -> const geometry::Vec3& {
        return directions_[members[i]];
    }, false, k);
}

std::vector<DrillDownHit> CategoryLayer::drill_down_group(std::uint64_t group, std::span<const double> query,
                                                          std::size_t k) const {
    const auto it = group_inner_spheres_.find(group);
    if (it == group_inner_spheres_.end()) return {};
    return drill_down_sphere(it->second, query, k);
}

std::vector<InnerSphereReport> CategoryLayer::inner_sphere_stats() const {
    std::vector<InnerSphereReport> reports;
    reports.reserve(inner_spheres_.size());
    for (const auto& [index, sphere] : inner_spheres_)
        reports.push_back({summaries_[index].name, index, sphere.member_indices.size(),
                           std::string(sphere.projection.display_name()), sphere.inner_evr, sphere.global_subset_evr,
                           sphere.evr_improvement});
    std::sort(reports.begin(), reports.end(),
              [](const InnerSphereReport& a, const InnerSphereReport& b) { return a.category_index < b.category_index; });
    return reports;
}

}  // namespace korvane::category
