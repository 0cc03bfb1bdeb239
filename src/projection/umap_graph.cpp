#include "projection/umap_graph.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/parallel.hpp"
#include "geometry/conversions.hpp"
#include "projection/contract.hpp"
#include "projection/pca.hpp"
#include "projection/types.hpp"

namespace korvane::projection {
namespace {

using geometry::kEpsilon;
using geometry::Vec3;

constexpr std::size_t kRowGrain = 256;

double membership_sum(const double* dist, std::size_t len, double rho, double sigma) noexcept {
    double s = 0.0;
    for (std::size_t j = 0; j < len; ++j) s += std::exp(-std::max(dist[j] - rho, 0.0) / sigma);
    return s;
}

void memberships_of_row(const double* dist, std::size_t len, double* out) noexcept {
    if (len == 0) return;
    double rho = dist[0];
    double mean = 0.0;
    for (std::size_t j = 0; j < len; ++j) {
        rho = std::min(rho, dist[j]);
        mean += dist[j];
    }
    mean /= static_cast<double>(len);
    const double target = std::log2(static_cast<double>(len));
    double sigma = 1.0, lo = 0.0, hi = std::numeric_limits<double>::infinity();
    for (int iter = 0; iter < 64; ++iter) {
        const double s = membership_sum(dist, len, rho, sigma);
        if (std::fabs(s - target) < 1e-5) break;
        if (s > target) {
            hi = sigma;
        } else {
            lo = sigma;
        }
        sigma = std::isfinite(hi) ? (lo + hi) / 2.0 : 2.0 * sigma;
    }
    sigma = std::max(sigma, std::max(mean * 0.001, 1e-8));
    for (std::size_t j = 0; j < len; ++j) out[j] = std::exp(-std::max(dist[j] - rho, 0.0) / sigma);
}

// Start of the layout: each embedding's direction in the PCA layout; an embedding the axes do not
// see falls back to its first three coordinates.
Result<std::vector<Vec3>, ProjectionError> initial_layout(const RowsView& embeddings, std::span<const double> points,
                                                          std::size_t d) {
    auto pca = PcaProjection::fit(embeddings, FixedRadius{1.0});
    if (!pca.ok()) return Err{pca.error()};
    const PcaProjection& projection = pca.value();
    const std::size_t n = embeddings.size();
    std::vector<Vec3> start(n);
    parallel::for_each_chunk(
        n, kRowGrain,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const ProjectedPoint rich = projection.project_rich(embeddings[i]);
                if (rich.projection_magnitude > kEpsilon) {
                    start[i] = geometry::unit_direction(rich.position);
                    continue;
                }
                const double* u = points.data() + i * d;
                const double len = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
                // A start must be a unit vector, so a negligible (not only an exactly zero) triple
                // falls back to the first axis.
                start[i] = len > kEpsilon ? Vec3{u[0] / len, u[1] / len, u[2] / len} : Vec3{1.0, 0.0, 0.0};
            }
        },
        2 * kRowGrain);
    return start;
}

}  // namespace

KnnDistanceRows split_knn_rows(const NeighborRows& rows) {
    KnnDistanceRows out;
    out.offsets = rows.offsets;
    out.neighbors.resize(rows.entries.size());
    out.distances.resize(rows.entries.size());
    for (std::size_t e = 0; e < rows.entries.size(); ++e) {
        out.neighbors[e] = static_cast<std::uint32_t>(rows.entries[e].index);
        out.distances[e] = std::max(1.0 - rows.entries[e].similarity, 0.0);
    }
    return out;
}

std::vector<double> row_memberships(const KnnDistanceRows& rows) {
    std::vector<double> out(rows.distances.size());
    parallel::for_each_chunk(
        rows.size(), kRowGrain,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::size_t o = rows.offsets[i];
                memberships_of_row(rows.distances.data() + o, rows.offsets[i + 1] - o, out.data() + o);
            }
        },
        2 * kRowGrain);
    return out;
}

Result<UmapGraph, ProjectionError> UmapGraph::build(const RowsView& embeddings, std::size_t n_neighbors) {
    if (auto error = validate_corpus(embeddings, 3)) return Err{*error};
    const std::size_t n = embeddings.size();
    if (n < 4) return Err{ProjectionError{TooFewEmbeddings{4, n}}};
    const std::size_t d = embeddings[0].size();

    auto state = std::make_shared<State>();
    state->n = n;
    state->d = d;
    state->k = std::max<std::size_t>(std::min(n_neighbors, n - 1), 1);

    // The same normalisation as a query gets, so a training embedding is found again bit for bit.
    auto points = std::make_shared<std::vector<double>>(n * d);
    parallel::for_each_chunk(
        n, kRowGrain,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::vector<double> u = normalized(embeddings[i]);
                std::copy(u.begin(), u.end(), points->begin() + static_cast<std::ptrdiff_t>(i * d));
            }
        },
        2 * kRowGrain);

    NeighborRows knn;
    if (n < kApproximateNeighborsFrom) {
        knn = exact_neighbor_rows(*points, n, d, state->k);
    } else {
        auto index = AnnIndex::build_normalized(*points, d, AnnConfig{});
        // Cannot fail: the default configuration and a non-empty, rectangular corpus.
        state->index = std::make_shared<const AnnIndex>(std::move(index).value());
        knn = state->index->query_all_by_index(state->k);
    }

    KnnDistanceRows rows = split_knn_rows(knn);
    const std::vector<double> membership = row_memberships(rows);

    // Symmetrise: w = a + b - a·b, b being i's membership in j's row (0 when j does not list i).
    // Each row gets a copy sorted by neighbour so that the reverse look-up is a binary search.
    std::vector<std::pair<std::uint32_t, double>> by_neighbor(rows.neighbors.size());
    parallel::for_each_chunk(
        n, kRowGrain,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                for (std::size_t e = rows.offsets[i]; e < rows.offsets[i + 1]; ++e) {
                    by_neighbor[e] = {rows.neighbors[e], membership[e]};
                }
                std::sort(by_neighbor.begin() + static_cast<std::ptrdiff_t>(rows.offsets[i]),
                          by_neighbor.begin() + static_cast<std::ptrdiff_t>(rows.offsets[i + 1]),
                          [](const auto& x, const auto& y) { return x.first < y.first; });
            }
        },
        2 * kRowGrain);
    std::vector<double> weights(rows.neighbors.size());
    parallel::for_each_chunk(
        n, kRowGrain,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                for (std::size_t e = rows.offsets[i]; e < rows.offsets[i + 1]; ++e) {
                    const std::uint32_t j = rows.neighbors[e];
                    const auto first = by_neighbor.begin() + static_cast<std::ptrdiff_t>(rows.offsets[j]);
                    const auto last = by_neighbor.begin() + static_cast<std::ptrdiff_t>(rows.offsets[j + 1]);
                    const auto it = std::lower_bound(first, last, static_cast<std::uint32_t>(i),
                                                     [](const auto& x, std::uint32_t v) { return x.first < v; });
                    const double a = membership[e];
                    const double b = (it != last && it->first == i) ? it->second : 0.0;
                    weights[e] = std::min(a + b - a * b, 1.0);
                }
            }
        },
        2 * kRowGrain);

    auto start = initial_layout(embeddings, *points, d);
    if (!start.ok()) return Err{start.error()};

    state->offsets = std::move(rows.offsets);
    state->neighbors = std::move(rows.neighbors);
    state->weights = std::move(weights);
    state->points = std::move(points);
    state->initial = std::move(start).value();
    return UmapGraph(std::move(state));
}

}  // namespace korvane::projection
