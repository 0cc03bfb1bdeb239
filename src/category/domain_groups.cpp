#include "category/domain_groups.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "category/territory.hpp"
#include "common/log.hpp"
#include "geometry/conversions.hpp"
#include "geometry/distance.hpp"

namespace korvane::category {
namespace {

constexpr double kMinArea = 1e-15;    // caps smaller than this carry no overlap share
constexpr double kMinLength = 1e-15;  // a shorter direction sum has no direction

void warn_clamped(std::uint64_t requested, std::uint64_t effective, std::uint64_t categories) {
    std::string message = "num_domain_groups clamped to " + std::to_string(effective) + " (corpus has only " +
                          std::to_string(categories) +
                          " distinct categories); TuneReport.best_config.routing.num_domain_groups will show the "
                          "requested value, not the realized one \u2014 compare against pipeline.domain_groups().len()";
    log::emit(log::Event{kDomainGroupsLogTarget,
                         log::Level::Warn,
                         {{"requested", requested}, {"effective", effective}, {"n_categories", categories}},
                         std::move(message)});
}

}  // namespace

std::vector<double> category_affinity(std::size_t n, const SpatialQuality& spatial) {
    std::vector<double> a(n * n, 0.0);
    const auto area = [&](std::size_t i) { return i < spatial.cap_areas.size() ? spatial.cap_areas[i] : 0.0; };
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            double value = voronoi_neighbors(spatial.voronoi_cells, i, j) ? 0.5 : 0.0;
            const auto it = spatial.overlaps.find(IndexPair{i, j});
            const double overlap = it == spatial.overlaps.end() ? 0.0 : it->second;
            // A NaN comparison keeps the first area.
            const double smaller = area(j) < area(i) ? area(j) : area(i);
            if (smaller > kMinArea) value += 0.5 * std::fmin(overlap / smaller, 1.0);
            a[i * n + j] = a[j * n + i] = value;
        }
    }
    return a;
}

std::vector<DomainGroup> detect_domain_groups(std::span<const CategorySummary> summaries,
                                              const SpatialQuality& spatial, std::uint64_t requested) {
    const std::size_t n = summaries.size();
    if (n == 0) return {};
    const std::uint64_t target = std::min<std::uint64_t>(n, std::max<std::uint64_t>(requested, 1));
    if (n < requested) warn_clamped(requested, target, n);

    const std::vector<double> affinity = category_affinity(n, spatial);
    std::vector<std::vector<std::uint64_t>> clusters(n);
    for (std::size_t i = 0; i < n; ++i) clusters[i] = {i};

    while (clusters.size() > target) {
        std::size_t best_p = 0, best_q = 1;
        double best = 0.0;
        bool found = false;
        for (std::size_t p = 0; p < clusters.size(); ++p) {
            for (std::size_t q = p + 1; q < clusters.size(); ++q) {
                double sum = 0.0;
                for (std::uint64_t x : clusters[p])
                    for (std::uint64_t y : clusters[q]) sum += affinity[x * n + y];
                const std::size_t count = clusters[p].size() * clusters[q].size();
                const double linkage = count == 0 ? 0.0 : sum / static_cast<double>(count);
                if (std::isnan(linkage)) continue;
                if (!found || linkage > best) {
                    best = linkage;
                    best_p = p;
                    best_q = q;
                    found = true;
                }
            }
        }
        auto absorbed = std::move(clusters[best_q]);
        clusters.erase(clusters.begin() + static_cast<std::ptrdiff_t>(best_q));
        clusters[best_p].insert(clusters[best_p].end(), absorbed.begin(), absorbed.end());
    }

    std::vector<DomainGroup> groups;
    groups.reserve(clusters.size());
    for (auto& cluster : clusters) groups.push_back(build_group(summaries, std::move(cluster)));
    return groups;
}

DomainGroup build_group(std::span<const CategorySummary> summaries, std::vector<std::uint64_t> member_categories) {
    DomainGroup g;
    double sx = 0.0, sy = 0.0, sz = 0.0;
    std::vector<geometry::Vec3> dirs;
    dirs.reserve(member_categories.size());
    for (std::uint64_t c : member_categories) {
        const auto& s = summaries[c];
        g.category_names.push_back(s.name);
        g.total_items += s.member_count;
        const auto d = geometry::unit_direction(s.centroid_position);
        dirs.push_back(d);
        sx += d[0];
        sy += d[1];
        sz += d[2];
    }
    const double length = std::sqrt(sx * sx + sy * sy + sz * sz);
    if (length > kMinLength) {
        g.centroid = geometry::cartesian_to_spherical({sx / length, sy / length, sz / length});
    } else if (!member_categories.empty()) {
        g.centroid = summaries[member_categories.front()].centroid_position;
    }
    if (member_categories.size() > 1) {
        const geometry::Vec3 centre = geometry::unit_direction(g.centroid);
        double sum = 0.0;
        for (const auto& d : dirs) sum += geometry::angle_between(d, centre);
        g.angular_spread = sum / static_cast<double>(dirs.size());
    }
    g.cohesion = 1.0 / (1.0 + g.angular_spread);
    g.member_categories = std::move(member_categories);
    return g;
}

}  // namespace korvane::category
