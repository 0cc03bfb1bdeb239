#include "projection/laplacian.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <utility>

#include "geometry/conversions.hpp"
#include "projection/power_iteration.hpp"

namespace korvane::projection {
namespace {

constexpr double kEps = geometry::kEpsilon;
constexpr std::size_t kMinEmbeddings = 4;
constexpr double kDegreeFloor = 1e-6;
constexpr double kSimilarityFloor = 1e-6;
constexpr double kNegligibleEigenvalue = 1e-10;
constexpr std::uint64_t kIterationSeed = 0xC0FFEECAFE00;
constexpr std::size_t kMaxIterations = 400;

double ratio(std::size_t intersection, std::size_t size_a, std::size_t size_b) noexcept {
    const std::size_t united = size_a + size_b - intersection;
    return united == 0 ? 0.0 : static_cast<double>(intersection) / static_cast<double>(united);
}

#if defined(__x86_64__) && defined(__ELF__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define KORVANE_LAPLACIAN_CLONES __attribute__((target_clones("popcnt", "default")))
#endif
#endif
#ifndef KORVANE_LAPLACIAN_CLONES
#define KORVANE_LAPLACIAN_CLONES
#endif

KORVANE_LAPLACIAN_CLONES
std::size_t common_bits(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) noexcept {
    std::size_t common = 0;
    for (std::size_t w = 0; w < words; ++w) common += static_cast<std::size_t>(std::popcount(a[w] & b[w]));
    return common;
}

// Sets over axes [0, 64·words) as bitsets; axes beyond are dropped (they meet no training set).
std::vector<std::uint64_t> to_bits(std::span<const std::size_t> axes, std::size_t words) {
    std::vector<std::uint64_t> bits(words, 0);
    for (std::size_t axis : axes) {
        if (axis / 64 < words) bits[axis / 64] |= std::uint64_t{1} << (axis % 64);
    }
    return bits;
}

// Bounded min-heap of the k strongest candidates: adding an entry to a full list drops the
// smallest of the k + 1.
void offer(std::vector<TopKEntry>& heap, TopKEntry entry, std::size_t k) {
    constexpr auto min_first = std::greater<>{};
    if (heap.size() < k) {
        heap.push_back(entry);
        std::push_heap(heap.begin(), heap.end(), min_first);
        return;
    }
    if (entry < heap.front()) return;  // it would be the one dropped
    std::pop_heap(heap.begin(), heap.end(), min_first);
    heap.back() = entry;
    std::push_heap(heap.begin(), heap.end(), min_first);
}

// The normalised affinity matrix, sparse by rows with ascending columns. Its products add the
// same non-zero terms in the same order as a dense row product (the skipped terms are zeros),
// so the values are those of the dense matrix at O(n·k) cost.
struct SparseSymmetric {
    std::vector<std::size_t> row_start;
    std::vector<std::size_t> column;
    std::vector<double> value;

    void multiply(std::span<const double> v, std::span<double> out) const noexcept {
        const std::size_t n = row_start.size() - 1;
        for (std::size_t i = 0; i < n; ++i) {
            double s = 0.0;
            for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) s += value[e] * v[column[e]];
            out[i] = s;
        }
    }
};

}  // namespace

std::vector<std::size_t> active_axes(std::span<const double> embedding, double threshold) {
    std::vector<std::size_t> axes;
    for (std::size_t j = 0; j < embedding.size(); ++j) {
        if (threshold < std::fabs(embedding[j])) axes.push_back(j);
    }
    return axes;
}

double jaccard_similarity(std::span<const std::size_t> a, std::span<const std::size_t> b) noexcept {
    std::size_t common = 0, i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] < b[j]) {
            ++i;
        } else if (b[j] < a[i]) {
            ++j;
        } else {
            ++common;
            ++i;
            ++j;
        }
    }
    return ratio(common, a.size(), b.size());
}

Result<LaplacianEigenmapProjection, ProjectionError> LaplacianEigenmapProjection::fit(const RowsView& embeddings,
                                                                                      RadialStrategy radial) {
    return fit_with_params(embeddings, kDefaultNeighbors, radial, kDefaultActiveThreshold);
}

Result<LaplacianEigenmapProjection, ProjectionError> LaplacianEigenmapProjection::fit_with_params(
    const RowsView& embeddings, std::size_t k_neighbors, RadialStrategy radial, double active_threshold) {
    const std::size_t n = embeddings.size();
    if (n < kMinEmbeddings) return Err{ProjectionError{TooFewEmbeddings{kMinEmbeddings, n}}};
    if (embeddings[0].empty()) return Err{ProjectionError{DimensionTooLow{0, 1}}};
    const std::size_t k = std::max<std::size_t>(std::min(k_neighbors, n - 1), 1);

    auto state = std::make_shared<State>();
    state->dimensionality = embeddings[0].size();
    state->active_threshold = active_threshold;
    state->active_sets.reserve(n);
    for (std::size_t i = 0; i < n; ++i) state->active_sets.push_back(active_axes(embeddings[i], active_threshold));

    state->index_bitsets();

    std::vector<std::vector<TopKEntry>> candidates(n);
    for (auto& list : candidates) list.reserve(k);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const double s = state->similarity(i, j);
            if (!(s > 0.0)) continue;
            offer(candidates[i], {s, j}, k);
            offer(candidates[j], {s, i}, k);
        }
    }

    // An edge kept by either endpoint appears once per side; both copies carry the same weight.
    std::vector<std::vector<std::pair<std::size_t, double>>> adjacency(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (const TopKEntry& entry : candidates[i]) {
            adjacency[i].emplace_back(entry.index, entry.similarity);
            adjacency[entry.index].emplace_back(i, entry.similarity);
        }
    }
    candidates = {};

    SparseSymmetric affinity;
    affinity.row_start.reserve(n + 1);
    affinity.row_start.push_back(0);
    std::vector<double>& degree = state->degrees;
    degree.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto& edges = adjacency[i];
        std::sort(edges.begin(), edges.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        edges.erase(std::unique(edges.begin(), edges.end(),
                                [](const auto& a, const auto& b) { return a.first == b.first; }),
                    edges.end());
        double sum = 0.0;
        for (const auto& [j, w] : edges) {
            affinity.column.push_back(j);
            affinity.value.push_back(w);
            sum += w;
        }
        affinity.row_start.push_back(affinity.column.size());
        degree[i] = std::max(sum, kDegreeFloor);
    }
    adjacency = {};

    std::vector<double>& root = state->sqrt_degrees;
    root.resize(n);
    double total_degree = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        root[i] = std::sqrt(degree[i]);
        total_degree += degree[i];
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t e = affinity.row_start[i]; e < affinity.row_start[i + 1]; ++e) {
            affinity.value[e] = affinity.value[e] / (root[i] * root[affinity.column[e]]);
        }
    }

    // The eigenvector of eigenvalue 1, which carries no layout information.
    const double root_total = std::sqrt(total_degree);
    std::vector<double> trivial(n);
    for (std::size_t i = 0; i < n; ++i) trivial[i] = root[i] / root_total;

    SpectralComponents found = leading_eigenpairs(
        n, PowerIterationSettings{kIterationSeed, kMaxIterations, true}, trivial,
        [&affinity](std::span<const double> in, std::span<double> out) { affinity.multiply(in, out); });

    std::array<std::size_t, 3> order{0, 1, 2};
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return found.values[a] > found.values[b]; });
    for (std::size_t r = 0; r < 3; ++r) {
        state->eigenvalues[r] = found.values[order[r]];
        state->eigenvectors[r] = std::move(found.vectors[order[r]]);
    }
    const auto& mu = state->eigenvalues;
    state->connectivity_ratio = (std::fabs(mu[0]) + std::fabs(mu[1]) + std::fabs(mu[2])) / 3.0;
    return LaplacianEigenmapProjection(std::move(state), radial);
}

void LaplacianEigenmapProjection::State::index_bitsets() {
    std::size_t width = 0, active = 0;
    for (const auto& set : active_sets) {
        if (!set.empty()) width = std::max(width, set.back() + 1);
        active += set.size();
    }
    // A merge costs about |A| + |B| steps, a bitset comparison one step per word.
    const std::size_t bitset_words = (width + 63) / 64;
    if (bitset_words > 2 * (active / active_sets.size()) + 4) return;
    words = bitset_words;
    bits.assign(active_sets.size() * words, 0);
    for (std::size_t i = 0; i < active_sets.size(); ++i) {
        for (std::size_t axis : active_sets[i]) bits[i * words + axis / 64] |= std::uint64_t{1} << (axis % 64);
    }
}

double LaplacianEigenmapProjection::State::similarity(std::size_t i, std::size_t j) const noexcept {
    if (bits.empty()) return jaccard_similarity(active_sets[i], active_sets[j]);
    return ratio(common_bits(&bits[i * words], &bits[j * words], words), active_sets[i].size(),
                 active_sets[j].size());
}

std::array<double, 3> LaplacianEigenmapProjection::project_to_3d(std::span<const double> embedding) const {
    const State& s = *state_;
    const std::size_t n = s.degrees.size();
    const std::vector<std::size_t> query = active_axes(embedding, s.active_threshold);

    const std::vector<std::uint64_t> query_bits = s.bits.empty() ? std::vector<std::uint64_t>{} : to_bits(query, s.words);
    std::vector<double> similarity(n);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        similarity[i] = s.bits.empty()
                            ? jaccard_similarity(query, s.active_sets[i])
                            : ratio(common_bits(query_bits.data(), &s.bits[i * s.words], s.words), query.size(),
                                    s.active_sets[i].size());
        total += similarity[i];
    }
    const double c = std::sqrt(std::max(total, kSimilarityFloor));

    std::array<double, 3> sums{};
    for (std::size_t i = 0; i < n; ++i) {
        const double weight = similarity[i] / (c * s.sqrt_degrees[i]);
        for (std::size_t k = 0; k < 3; ++k) sums[k] += weight * s.eigenvectors[k][i];
    }
    std::array<double, 3> out{};
    for (std::size_t k = 0; k < 3; ++k) {
        out[k] = std::fabs(s.eigenvalues[k]) < kNegligibleEigenvalue ? 0.0 : sums[k] / s.eigenvalues[k];
    }
    return out;
}

ProjectedPoint LaplacianEigenmapProjection::project_rich(std::span<const double> embedding) const {
    const auto [x, y, z] = project_to_3d(embedding);
    const double p = std::sqrt(x * x + y * y + z * z);
    const double m = magnitude(embedding);
    return {directed_point(x, y, z, p, radius_for(radial_, m)), std::tanh(p), m, p};
}

}  // namespace korvane::projection
