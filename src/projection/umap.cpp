#include "projection/umap.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

#include "common/parallel.hpp"
#include "geometry/conversions.hpp"
#include "projection/linalg.hpp"
#include "projection/types.hpp"

namespace korvane::projection {
namespace {

using geometry::kEpsilon;
using geometry::Vec3;

// Mean over nodes with a graph row of the share of that row found among the node's as many
// nearest layout neighbours.
double neighbor_preservation_of(const UmapGraph& graph, const std::vector<Vec3>& positions) {
    const std::size_t n = positions.size();
    if (n < 2) return 1.0;
    std::optional<AnnIndex> layout_index;
    if (n >= kApproximateNeighborsFrom) {
        std::vector<double> flat(n * 3);
        for (std::size_t i = 0; i < n; ++i) std::copy(positions[i].begin(), positions[i].end(), flat.begin() + 3 * i);
        // Cannot fail: the default configuration over n ≥ 1 rows of width 3.
        layout_index.emplace(AnnIndex::build_normalized(std::move(flat), 3).value());
    }
    std::vector<double> share(n, -1.0);  // -1: no row
    parallel::for_each_chunk(
        n, 64,
        [&](std::size_t begin, std::size_t end) {
            std::vector<std::uint32_t> row;
            std::vector<Neighbor> found;
            for (std::size_t i = begin; i < end; ++i) {
                const auto nbrs = graph.neighbors(i);
                const std::size_t ki = nbrs.size();
                if (ki == 0) continue;
                if (layout_index) {
                    found = layout_index->query_by_index(i, ki);
                } else {
                    found.clear();
                    for (std::size_t j = 0; j < n; ++j) {
                        if (j != i) found.push_back({j, geometry::dot(positions[i], positions[j])});
                    }
                    const std::size_t keep = std::min(ki, found.size());
                    std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(keep), found.end(),
                                      ranks_before);
                    found.resize(keep);
                }
                row.assign(nbrs.begin(), nbrs.end());
                std::sort(row.begin(), row.end());
                std::size_t count = 0;
                for (const Neighbor& f : found) {
                    count += std::binary_search(row.begin(), row.end(), static_cast<std::uint32_t>(f.index)) ? 1 : 0;
                }
                share[i] = static_cast<double>(count) / static_cast<double>(ki);
            }
        },
        128);
    double sum = 0.0;
    std::size_t counted = 0;
    for (const double s : share) {
        if (s < 0.0) continue;
        sum += s;
        ++counted;
    }
    return counted == 0 ? 1.0 : sum / static_cast<double>(counted);
}

std::uint64_t fnv1a(const double* v, std::size_t d) noexcept {
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (std::size_t i = 0; i < d; ++i) hash = (hash ^ std::bit_cast<std::uint64_t>(v[i])) * 0x100000001B3ULL;
    return hash;
}

bool equal_values(const double* a, const double* b, std::size_t d) noexcept {
    for (std::size_t i = 0; i < d; ++i) {
        if (!(a[i] == b[i])) return false;
    }
    return true;
}

std::vector<std::pair<std::uint64_t, std::uint32_t>> build_exact_lookup(std::span<const double> points, std::size_t n,
                                                                        std::size_t d) {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> all(n);
    for (std::size_t i = 0; i < n; ++i) all[i] = {fnv1a(points.data() + i * d, d), static_cast<std::uint32_t>(i)};
    std::sort(all.begin(), all.end());
    std::vector<std::pair<std::uint64_t, std::uint32_t>> kept;
    kept.reserve(n);
    for (std::size_t g = 0; g < n;) {
        std::size_t end = g;
        while (end < n && all[end].first == all[g].first) ++end;
        const std::size_t first_kept = kept.size();
        for (std::size_t i = g; i < end; ++i) {
            const double* p = points.data() + static_cast<std::size_t>(all[i].second) * d;
            bool duplicate = false;
            for (std::size_t k = first_kept; k < kept.size() && !duplicate; ++k) {
                duplicate = equal_values(p, points.data() + static_cast<std::size_t>(kept[k].second) * d, d);
            }
            if (!duplicate) kept.push_back(all[i]);
        }
        g = end;
    }
    return kept;
}

}  // namespace

Result<UmapSphereProjection, ProjectionError> UmapSphereProjection::fit(const RowsView& embeddings,
                                                                        std::span<const std::uint32_t> labels,
                                                                        RadialStrategy radial,
                                                                        const UmapFitParams& params) {
    // The label check of fit_from_graph, done before the graph is built: once the corpus passes
    // these checks the graph cannot fail, so the outcome is the same, without the wasted graph.
    if (auto error = validate_corpus(embeddings, 3)) return Err{*error};
    if (embeddings.size() >= 4 && !labels.empty() && labels.size() != embeddings.size()) {
        return Err{ProjectionError{LengthMismatch{embeddings.size(), labels.size()}}};
    }
    auto graph = UmapGraph::build(embeddings, params.n_neighbors);
    if (!graph.ok()) return Err{graph.error()};
    return fit_from_graph(graph.value(), labels, radial, params);
}

Result<UmapSphereProjection, ProjectionError> UmapSphereProjection::fit_from_graph(const UmapGraph& graph,
                                                                                   std::span<const std::uint32_t> labels,
                                                                                   RadialStrategy radial,
                                                                                   const UmapFitParams& params) {
    const std::size_t n = graph.size();
    if (!labels.empty() && labels.size() != n) return Err{ProjectionError{LengthMismatch{n, labels.size()}}};
    const bool use_categories = !labels.empty() && params.category_weight > 0.0;

    auto state = std::make_shared<State>();
    state->d = graph.dimensionality();
    state->k = graph.k();
    state->positions = optimize_layout(graph, use_categories ? labels : std::span<const std::uint32_t>{}, params);
    state->points = graph.shared_training_points();
    state->index = graph.neighbor_index();
    state->neighbor_preservation = neighbor_preservation_of(graph, state->positions);
    state->exact_lookup = build_exact_lookup(*state->points, n, state->d);
    return UmapSphereProjection(std::move(state), radial);
}

UmapPlacement UmapSphereProjection::project_xyz(std::span<const double> embedding) const {
    const State& s = *state_;
    const std::size_t d = s.d, n = s.positions.size();
    if (embedding.size() != d) return {};
    const std::vector<double> u = normalized(embedding);
    const double* points = s.points->data();

    const std::uint64_t hash = fnv1a(u.data(), d);
    const auto range = std::equal_range(s.exact_lookup.begin(), s.exact_lookup.end(),
                                        std::pair<std::uint64_t, std::uint32_t>{hash, 0},
                                        [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto it = range.first; it != range.second; ++it) {
        if (equal_values(u.data(), points + static_cast<std::size_t>(it->second) * d, d)) {
            const Vec3& p = s.positions[it->second];
            return {p[0], p[1], p[2], 1.0};
        }
    }

    std::vector<Neighbor> nearest;
    if (s.index) {
        nearest = s.index->query(u, s.k).value();
    } else {
        nearest.reserve(n);
        for (std::size_t j = 0; j < n; ++j) nearest.push_back({j, linalg::dot(u.data(), points + j * d, d)});
        const std::size_t keep = std::min(s.k, n);
        std::partial_sort(nearest.begin(), nearest.begin() + static_cast<std::ptrdiff_t>(keep), nearest.end(),
                          ranks_before);
        nearest.resize(keep);
    }
    if (nearest.empty()) return {};

    double best = nearest[0].similarity;
    for (const Neighbor& h : nearest) best = std::max(best, h.similarity);
    std::vector<double> w(nearest.size());
    double total = 0.0;
    for (std::size_t j = 0; j < nearest.size(); ++j) {
        w[j] = std::exp(8.0 * (nearest[j].similarity - best));
        total += w[j];
    }
    const bool uniform = !(total > kEpsilon);
    Vec3 p{0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < nearest.size(); ++j) {
        const double weight = uniform ? 1.0 / static_cast<double>(nearest.size()) : w[j] / total;
        const Vec3& q = s.positions[nearest[j].index];
        for (int c = 0; c < 3; ++c) p[c] += weight * q[c];
    }
    return {p[0], p[1], p[2], std::min(geometry::norm(p), 1.0)};
}

ProjectedPoint UmapSphereProjection::project_rich(std::span<const double> embedding) const {
    const UmapPlacement placed = project_xyz(embedding);
    const double p = std::sqrt(placed.x * placed.x + placed.y * placed.y + placed.z * placed.z);
    const double mag = magnitude(embedding);
    const double radius = radius_for(radial_, mag);
    return {directed_point(placed.x, placed.y, placed.z, p, radius), placed.confidence, mag, p};
}

}  // namespace korvane::projection
