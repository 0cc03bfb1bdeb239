#include "category/inner_sphere.hpp"

#include <algorithm>
#include <cmath>

#include "common/parallel.hpp"
#include "geometry/distance.hpp"

namespace korvane::category {
namespace {

constexpr std::size_t kGrain = 64;

// Kernel PCA keeps an n × n kernel matrix and costs O(n²·d): from this size on (where the kernel
// fit itself warns of minutes to hours) a layer build would stall on it, so larger subsets keep
// their linear sphere.
constexpr std::size_t kKernelPcaMaxSize = 2000;
constexpr std::size_t kMinParallel = 256;

// The subset's rows copied into one buffer; ragged offsets keep a wrong-length row visible to
// the fit's own validation.
struct SubsetRows {
    std::vector<double> values;
    std::vector<std::size_t> offsets;

    SubsetRows(std::span<const std::uint64_t> subset, const RowsView& embeddings) {
        offsets.reserve(subset.size() + 1);
        offsets.push_back(0);
        for (std::uint64_t i : subset) offsets.push_back(offsets.back() + embeddings[i].size());
        values.resize(offsets.back());
        for (std::size_t r = 0; r < subset.size(); ++r) {
            const auto row = embeddings[subset[r]];
            std::copy(row.begin(), row.end(), values.begin() + static_cast<std::ptrdiff_t>(offsets[r]));
        }
    }

    RowsView view() const { return RowsView{values.data(), offsets.size() - 1, 0, offsets.data()}; }
};

double mean_global_certainty(std::span<const std::uint64_t> subset, const RowsView& embeddings,
                             const projection::ConfiguredProjection& global) {
    std::vector<double> certainty(subset.size());
    parallel::for_each_chunk(
        subset.size(), kGrain,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) certainty[r] = global.project_rich(embeddings[subset[r]]).certainty;
        },
        kMinParallel);
    double sum = 0.0;
    for (double c : certainty) sum += c;
    return subset.empty() ? 0.0 : sum / static_cast<double>(subset.size());
}

}  // namespace

std::string_view InnerProjection::display_name() const noexcept {
    return std::holds_alternative<projection::PcaProjection>(family) ? "LinearPca" : "KernelPca";
}

geometry::SphericalPoint InnerProjection::project(std::span<const double> embedding) const {
    return std::visit([&](const auto& p) { return p.project(embedding); }, family);
}

std::optional<InnerSphere> fit_inner_sphere(std::span<const std::uint64_t> subset, const RowsView& embeddings,
                                            const projection::ConfiguredProjection& global,
                                            const config::InnerSphereConfig& config) {
    const double global_evr = mean_global_certainty(subset, embeddings, global);
    // A ratio is at most 1: when even that cannot clear the bar, the fit would be wasted.
    if (1.0 - global_evr < config.min_evr_improvement) return std::nullopt;
    const SubsetRows rows(subset, embeddings);
    const projection::RadialStrategy radial = projection::FixedRadius{1.0};

    auto pca = projection::PcaProjection::fit(rows.view(), radial);
    if (!pca) return std::nullopt;
    const double pca_evr = pca->explained_variance_ratio();
    if (pca_evr - global_evr < config.min_evr_improvement) return std::nullopt;

    InnerProjection chosen{std::move(pca).value()};
    double inner_evr = pca_evr;
    if (subset.size() >= config.kernel_pca_min_size && subset.size() < kKernelPcaMaxSize) {
        auto kernel = projection::KernelPcaProjection::fit(rows.view(), radial);
        if (kernel) {
            const double kernel_evr = kernel->explained_variance_ratio();
            if (kernel_evr > pca_evr + config.min_kernel_improvement) {
                chosen.family = std::move(kernel).value();
                inner_evr = kernel_evr;
            }
        }
    }

    InnerSphere sphere{std::move(chosen),
                       std::vector<geometry::SphericalPoint>(subset.size()),
                       std::vector<geometry::Vec3>(subset.size()),
                       std::vector<std::uint64_t>(subset.begin(), subset.end()),
                       inner_evr,
                       global_evr,
                       inner_evr - global_evr};
    parallel::for_each_chunk(
        subset.size(), kGrain,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t r = begin; r < end; ++r) {
                sphere.positions[r] = sphere.projection.project(embeddings[subset[r]]);
                sphere.directions[r] = geometry::unit_direction(sphere.positions[r]);
            }
        },
        kMinParallel);
    return sphere;
}

void keep_nearest(std::vector<DrillDownHit>& hits, std::size_t k) {
    k = std::min(k, hits.size());
    // (NaN last, distance, original position) is a strict total order, so a partial sort yields
    // the prefix a stable full sort would.
    std::vector<std::uint32_t> order(hits.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    const auto before = [&](std::uint32_t a, std::uint32_t b) {
        const double da = hits[a].distance, db = hits[b].distance;
        const bool na = std::isnan(da), nb = std::isnan(db);
        if (na != nb) return nb;
        if (!na && da != db) return da < db;
        return a < b;
    };
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(), before);
    std::vector<DrillDownHit> kept;
    kept.reserve(k);
    for (std::size_t i = 0; i < k; ++i) kept.push_back(hits[order[i]]);
    hits = std::move(kept);
}

std::vector<DrillDownHit> drill_down_sphere(const InnerSphere& sphere, std::span<const double> query, std::size_t k) {
    if (k == 0) return {};
    const geometry::Vec3 q = geometry::unit_direction(sphere.projection.project(query));
    return nearest_by_angle(q, sphere.member_indices, [&](std::size_t i) -> const geometry::Vec3& {
        return sphere.directions[i];
    }, true, k);
}

}  // namespace korvane::category
