#include "projection/ann.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "common/parallel.hpp"
#include "common/random.hpp"
#include "geometry/points.hpp"
#include "projection/linalg.hpp"

namespace korvane::projection {
namespace {

using geometry::kEpsilon;

// Nodes this large project their points on the pool; smaller ones are not worth the dispatch.
constexpr std::size_t kParallelProjection = 8192;
constexpr std::size_t kProjectionGrain = 2048;
constexpr std::size_t kQueryGrain = 64;

// Maps doubles to integers whose order is the IEEE total order (-NaN < -inf < ... < +inf < NaN).
inline std::int64_t total_order_key(double x) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

inline bool total_less(double a, double b) noexcept { return total_order_key(a) < total_order_key(b); }

inline std::size_t mod_index(std::uint64_t r, std::size_t m) noexcept {
    return static_cast<std::size_t>(r % static_cast<std::uint64_t>(m));
}

double norm_of(const double* v, std::size_t d) noexcept { return std::sqrt(linalg::dot(v, v, d)); }

void normalize_in_place(double* v, std::size_t d) noexcept {
    const double m = norm_of(v, d);
    if (m > kEpsilon) {
        for (std::size_t i = 0; i < d; ++i) v[i] /= m;
    }
}

std::string dim_message(const char* who, std::size_t index, std::size_t actual, std::size_t expected) {
    return std::string(who) + ": vector " + std::to_string(index) + " has dim " + std::to_string(actual) +
           ", expected " + std::to_string(expected);
}

}  // namespace

bool ranks_before(const Neighbor& a, const Neighbor& b) noexcept {
    const std::int64_t ka = total_order_key(a.similarity), kb = total_order_key(b.similarity);
    if (ka != kb) return ka > kb;
    return a.index < b.index;
}

NeighborRows exact_neighbor_rows(std::span<const double> points, std::size_t n, std::size_t d, std::size_t k) {
    NeighborRows rows;
    const std::size_t per_row = n == 0 ? 0 : std::min(k, n - 1);
    rows.offsets.resize(n + 1);
    for (std::size_t i = 0; i <= n; ++i) rows.offsets[i] = i * per_row;
    rows.entries.resize(n * per_row);
    if (per_row == 0) return rows;
    const double* base = points.data();
    parallel::for_each_chunk(
        n, 32,
        [&](std::size_t begin, std::size_t end) {
            std::vector<Neighbor> scored(n - 1);
            for (std::size_t i = begin; i < end; ++i) {
                const double* p = base + i * d;
                std::size_t c = 0;
                for (std::size_t j = 0; j < n; ++j) {
                    if (j != i) scored[c++] = {j, linalg::dot(p, base + j * d, d)};
                }
                std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(per_row), scored.end(),
                                  ranks_before);
                std::copy_n(scored.begin(), per_row, rows.entries.begin() + static_cast<std::ptrdiff_t>(i * per_row));
            }
        },
        64);
    return rows;
}

// ---------------------------------------------------------------------------------------------
// Building

Result<AnnIndex, std::string> AnnIndex::build(const RowsView& vectors, const AnnConfig& config) {
    if (vectors.empty()) return Err{std::string("AnnIndex::build requires at least one vector")};
    const std::size_t d = vectors[0].size();
    for (std::size_t i = 1; i < vectors.size(); ++i) {
        if (vectors[i].size() != d) return Err{dim_message("AnnIndex::build", i, vectors[i].size(), d)};
    }
    std::vector<double> flat(vectors.size() * d);
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        std::copy(vectors[i].begin(), vectors[i].end(), flat.begin() + static_cast<std::ptrdiff_t>(i * d));
        normalize_in_place(flat.data() + i * d, d);
    }
    return build_from_normalized(std::move(flat), d, config);
}

Result<AnnIndex, std::string> AnnIndex::build_normalized(std::vector<double> vectors, std::size_t d,
                                                         const AnnConfig& config) {
    if (vectors.empty() || d == 0) {
        return Err{std::string("AnnIndex::build_normalized requires at least one vector")};
    }
    if (vectors.size() % d != 0) {
        return Err{dim_message("AnnIndex::build_normalized", vectors.size() / d, vectors.size() % d, d)};
    }
    return build_from_normalized(std::move(vectors), d, config);
}

Result<AnnIndex, std::string> AnnIndex::build_from_normalized(std::vector<double> vectors, std::size_t d,
                                                              const AnnConfig& config) {
    if (config.n_trees == 0) {
        return Err{std::string("AnnConfig.n_trees must be > 0 (zero trees yields an index that returns no neighbors)")};
    }
    if (config.max_leaf_size == 0) {
        return Err{std::string(
            "AnnConfig.max_leaf_size must be > 0 (zero recurses forever on singleton partitions)")};
    }
    const std::size_t n = d == 0 ? 0 : vectors.size() / d;
    if (d != 0 && vectors.size() % d != 0) {
        return Err{dim_message("AnnIndex::build_from_normalized", n, vectors.size() % d, d)};
    }
    if (n > std::numeric_limits<std::uint32_t>::max()) {
        return Err{std::string("AnnIndex supports at most 4294967295 vectors")};
    }
    auto state = std::make_shared<State>();
    state->config = config;
    state->n = n;
    state->d = d;
    state->vectors = std::move(vectors);
    state->trees.reserve(config.n_trees);
    std::uint64_t rng = config.seed;  // one stream through every node of every tree
    for (std::size_t t = 0; t < config.n_trees; ++t) state->trees.push_back(build_tree(*state, rng));
    return AnnIndex(std::move(state));
}

AnnIndex::Tree AnnIndex::build_tree(const State& state, std::uint64_t& rng) {
    const std::size_t n = state.n, d = state.d, leaf_size = state.config.max_leaf_size;
    const double* points = state.vectors.data();
    Tree tree;
    tree.order.resize(n);
    for (std::size_t i = 0; i < n; ++i) tree.order[i] = static_cast<std::uint32_t>(i);

    std::vector<double> proj(n), sorted(n), normal(d);
    std::vector<std::uint32_t> right_side;
    right_side.reserve(n);

    // Depth-first, left subtree before right, visiting nodes exactly in the order a recursive
    // build would; an explicit stack keeps degenerate (very unbalanced) splits off the call stack.
    struct Pending {
        std::uint32_t node, begin, count;
    };
    std::vector<Pending> stack;
    tree.nodes.emplace_back();
    stack.push_back({0, 0, static_cast<std::uint32_t>(n)});
    while (!stack.empty()) {
        const Pending job = stack.back();
        stack.pop_back();
        const std::size_t m = job.count;
        std::uint32_t* list = tree.order.data() + job.begin;
        if (m <= leaf_size) {
            tree.nodes[job.node] = Node{0.0, job.begin, job.count, 0, true};
            continue;
        }

        const std::size_t ia = mod_index(random::splitmix64_next_u64(rng), m);
        std::size_t ib = mod_index(random::splitmix64_next_u64(rng), m);
        for (int retry = 0; retry < 10 && ib == ia; ++retry) ib = mod_index(random::splitmix64_next_u64(rng), m);
        const double* pa = points + static_cast<std::size_t>(list[ia]) * d;
        const double* pb = points + static_cast<std::size_t>(list[ib]) * d;
        for (std::size_t c = 0; c < d; ++c) normal[c] = pa[c] - pb[c];
        const double length = norm_of(normal.data(), d);
        if (length > kEpsilon) {
            for (double& v : normal) v /= length;
        } else {
            random::fill_gaussian(rng, normal);
            normalize_in_place(normal.data(), d);
        }

        auto project = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                proj[i] = linalg::dot(normal.data(), points + static_cast<std::size_t>(list[i]) * d, d);
            }
        };
        parallel::for_each_chunk(m, kProjectionGrain, project, kParallelProjection);
        std::copy_n(proj.begin(), m, sorted.begin());
        const auto median = sorted.begin() + static_cast<std::ptrdiff_t>(m / 2);
        std::nth_element(sorted.begin(), median, sorted.begin() + static_cast<std::ptrdiff_t>(m), total_less);
        const double threshold = *median;

        std::size_t left_count = 0;
        for (std::size_t i = 0; i < m; ++i) left_count += proj[i] < threshold ? 1 : 0;
        if (left_count == 0 || left_count == m) {
            left_count = m / 2;  // all projections (nearly) equal: halve by position
        } else {
            right_side.clear();
            std::size_t w = 0;
            for (std::size_t i = 0; i < m; ++i) {
                if (proj[i] < threshold) {
                    list[w++] = list[i];
                } else {
                    right_side.push_back(list[i]);
                }
            }
            std::copy(right_side.begin(), right_side.end(), list + w);
        }

        const auto normal_row = static_cast<std::uint32_t>(tree.normals.size() / (d == 0 ? 1 : d));
        tree.normals.insert(tree.normals.end(), normal.begin(), normal.end());
        const auto left = static_cast<std::uint32_t>(tree.nodes.size());
        tree.nodes.emplace_back();
        const auto right = static_cast<std::uint32_t>(tree.nodes.size());
        tree.nodes.emplace_back();
        tree.nodes[job.node] = Node{threshold, normal_row, left, right, false};
        const auto lc = static_cast<std::uint32_t>(left_count);
        stack.push_back({right, job.begin + lc, job.count - lc});
        stack.push_back({left, job.begin, lc});
    }
    return tree;
}

// ---------------------------------------------------------------------------------------------
// Querying

struct AnnIndex::Scratch {
    std::vector<std::uint32_t> candidates;
    std::vector<Neighbor> scored;
};

void AnnIndex::query_unit(const double* q, std::size_t k, std::size_t exclude, Scratch& scratch,
                          std::vector<Neighbor>& out) const {
    const State& s = *state_;
    const std::size_t d = s.d;
    auto& candidates = scratch.candidates;
    candidates.clear();
    for (const Tree& tree : s.trees) {
        const Node* node = &tree.nodes[0];
        while (!node->leaf) {
            const double p = linalg::dot(tree.normals.data() + static_cast<std::size_t>(node->first) * d, q, d);
            node = &tree.nodes[p < node->threshold ? node->second : node->right];
        }
        const std::uint32_t* leaf = tree.order.data() + node->first;
        candidates.insert(candidates.end(), leaf, leaf + node->second);
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());

    auto& scored = scratch.scored;
    scored.clear();
    for (const std::uint32_t c : candidates) {
        if (c == exclude) continue;
        scored.push_back({c, linalg::dot(q, s.vectors.data() + static_cast<std::size_t>(c) * d, d)});
    }
    const std::size_t keep = std::min(k, scored.size());
    std::partial_sort(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(keep), scored.end(), ranks_before);
    out.assign(scored.begin(), scored.begin() + static_cast<std::ptrdiff_t>(keep));
}

Result<std::vector<Neighbor>, WrongInputDimension> AnnIndex::query(std::span<const double> q, std::size_t k) const {
    if (q.size() != state_->d) return Err{WrongInputDimension{state_->d, q.size()}};
    std::vector<double> unit(q.begin(), q.end());
    normalize_in_place(unit.data(), unit.size());
    Scratch scratch;
    std::vector<Neighbor> out;
    query_unit(unit.data(), k, std::numeric_limits<std::size_t>::max(), scratch, out);
    return out;
}

std::vector<Neighbor> AnnIndex::query_by_index(std::size_t i, std::size_t k) const {
    std::vector<Neighbor> out;
    if (i >= state_->n) return out;
    Scratch scratch;
    query_unit(state_->vectors.data() + i * state_->d, k, i, scratch, out);
    return out;
}

NeighborRows AnnIndex::query_all_by_index(std::size_t k) const {
    const std::size_t n = state_->n, d = state_->d;
    // Each chunk fills its own rows; they are stitched together in chunk order afterwards.
    const std::size_t chunks = parallel::chunk_count(n, kQueryGrain);
    std::vector<NeighborRows> parts(chunks);
    parallel::for_each_chunk(
        n, kQueryGrain,
        [&](std::size_t chunk, std::size_t begin, std::size_t end) {
            Scratch scratch;
            std::vector<Neighbor> hits;
            NeighborRows& part = parts[chunk];
            part.entries.reserve((end - begin) * k);
            for (std::size_t i = begin; i < end; ++i) {
                query_unit(state_->vectors.data() + i * d, k, i, scratch, hits);
                part.entries.insert(part.entries.end(), hits.begin(), hits.end());
                part.offsets.push_back(part.entries.size());
            }
        },
        2 * kQueryGrain);
    NeighborRows rows;
    rows.offsets.reserve(n + 1);
    std::size_t total = 0;
    for (const auto& part : parts) total += part.entries.size();
    rows.entries.reserve(total);
    for (const auto& part : parts) {
        const std::size_t base = rows.entries.size();
        for (std::size_t r = 1; r < part.offsets.size(); ++r) rows.offsets.push_back(base + part.offsets[r]);
        rows.entries.insert(rows.entries.end(), part.entries.begin(), part.entries.end());
    }
    return rows;
}

}  // namespace korvane::projection
