// Private projections of one category's (or one domain group's) members, kept only when they
// explain clearly more of the subset's variance than the global projection does.
#pragma once

#include <algorithm>
#include <cmath>
#include <functional>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/rows.hpp"
#include "config/pipeline_config.hpp"
#include "geometry/distance.hpp"
#include "geometry/points.hpp"
#include "projection/configured_projection.hpp"
#include "projection/kernel_pca.hpp"
#include "projection/pca.hpp"

namespace korvane::category {

struct InnerProjection {
    std::variant<projection::PcaProjection, projection::KernelPcaProjection> family;

    // "LinearPca" or "KernelPca".
    std::string_view display_name() const noexcept;
    geometry::SphericalPoint project(std::span<const double> embedding) const;
};

struct InnerSphere {
    InnerProjection projection;
    std::vector<geometry::SphericalPoint> positions;  // position i belongs to member_indices[i]
    std::vector<geometry::Vec3> directions;           // unit direction of positions[i], for searches
    std::vector<std::uint64_t> member_indices;
    double inner_evr = 0.0;
    double global_subset_evr = 0.0;  // mean certainty of the members under the global projection
    double evr_improvement = 0.0;
};

struct InnerSphereReport {
    std::string category_name;
    std::uint64_t category_index = 0;
    std::uint64_t member_count = 0;
    std::string projection_type;
    double inner_evr = 0.0;
    double global_subset_evr = 0.0;
    double evr_improvement = 0.0;

    friend bool operator==(const InnerSphereReport&, const InnerSphereReport&) = default;
};

struct DrillDownHit {
    std::uint64_t item_index = 0;
    double distance = 0.0;  // radians
    bool used_inner_sphere = false;

    friend bool operator==(const DrillDownHit&, const DrillDownHit&) = default;
};

// Fits PCA (and, for subsets of kernel_pca_min_size up to 1999 items, kernel PCA) on the embeddings of `subset`; absent
// when the gain over the global projection's mean certainty is below min_evr_improvement or the
// PCA fit fails.
std::optional<InnerSphere> fit_inner_sphere(std::span<const std::uint64_t> subset, const RowsView& embeddings,
                                            const projection::ConfiguredProjection& global,
                                            const config::InnerSphereConfig& config);

// One hit per member position, nearest first (stable), at most k.
std::vector<DrillDownHit> drill_down_sphere(const InnerSphere& sphere, std::span<const double> query, std::size_t k);

// Sorts by distance (stable, NaN last) and keeps the first k.
void keep_nearest(std::vector<DrillDownHit>& hits, std::size_t k);

// The k items nearest to the unit direction q by angle (ties and NaN handled as keep_nearest
// does), where direction_of(i) is item i's unit direction. Dot products pick the candidates;
// exact angles are computed only for those within a margin of the k-th best, which cannot
// change the result: an excluded item is farther by at least the margin.
template <class DirectionOf>
std::vector<DrillDownHit> nearest_by_angle(const geometry::Vec3& q, std::span<const std::uint64_t> items,
                                           DirectionOf&& direction_of, bool inner, std::size_t k) {
    const std::size_t n = items.size();
    if (k == 0 || n == 0) return {};
    std::vector<double> dots(n);
    bool any_nan = false;
    for (std::size_t i = 0; i < n; ++i) {
        dots[i] = geometry::dot(q, direction_of(i));
        any_nan |= std::isnan(dots[i]);
    }
    std::vector<DrillDownHit> hits;
    const auto add = [&](std::size_t i) { hits.push_back({items[i], geometry::angle_between(q, direction_of(i)), inner}); };
    if (any_nan || n <= 2 * k + 16) {
        hits.reserve(n);
        for (std::size_t i = 0; i < n; ++i) add(i);
    } else {
        std::vector<double> sorted = dots;
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(k - 1), sorted.end(),
                         std::greater<>());
        const double threshold = sorted[k - 1] - 1e-12;
        for (std::size_t i = 0; i < n; ++i)
            if (dots[i] >= threshold) add(i);
    }
    keep_nearest(hits, k);
    return hits;
}

}  // namespace korvane::category
