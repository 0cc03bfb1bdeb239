#include "category/summary.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "geometry/distance.hpp"

namespace korvane::category {

CategoryGroups group_by_label(std::span<const std::string> labels, std::uint64_t min_size) {
    std::unordered_map<std::string_view, std::size_t> slot_of;
    std::vector<std::string_view> first_seen;
    std::vector<std::vector<std::uint64_t>> members;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        auto [it, inserted] = slot_of.try_emplace(labels[i], first_seen.size());
        if (inserted) {
            first_seen.push_back(labels[i]);
            members.emplace_back();
        }
        members[it->second].push_back(i);
    }
    CategoryGroups groups;
    for (std::size_t g = 0; g < first_seen.size(); ++g) {
        if (members[g].size() < min_size) continue;
        groups.names.emplace_back(first_seen[g]);
        groups.members.push_back(std::move(members[g]));
    }
    return groups;
}

CategorySummary summarize_category(std::string name, std::vector<std::uint64_t> members, const RowsView& embeddings,
                                   std::span<const geometry::SphericalPoint> positions,
                                   const projection::ConfiguredProjection& projection) {
    CategorySummary s;
    s.name = std::move(name);
    const std::size_t dim = embeddings.empty() ? 0 : embeddings[0].size();
    s.centroid.assign(dim, 0.0);
    for (std::uint64_t m : members) {
        const auto row = embeddings[m];
        const std::size_t n = std::min(row.size(), dim);
        for (std::size_t k = 0; k < n; ++k) s.centroid[k] += row[k];
    }
    if (!members.empty()) {
        const auto count = static_cast<double>(members.size());
        for (double& c : s.centroid) c /= count;
    }
    s.centroid_position = projection.project(s.centroid);

    if (members.size() >= 2) {
        const geometry::Vec3 centre = geometry::unit_direction(s.centroid_position);
        double sum = 0.0;
        for (std::uint64_t m : members) sum += geometry::angle_between(geometry::unit_direction(positions[m]), centre);
        s.angular_spread = sum / static_cast<double>(members.size());
    }
    s.cohesion = 1.0 / (1.0 + s.angular_spread);
    s.member_count = members.size();
    s.member_indices = std::move(members);
    return s;
}

}  // namespace korvane::category
