#include "projection/ann.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/parallel.hpp"
#include "common/random.hpp"

namespace korvane::projection {
namespace {

struct ThreadCountScope {
    explicit ThreadCountScope(std::size_t n) { parallel::set_thread_count(n); }
    ~ThreadCountScope() { parallel::set_thread_count(0); }
};

struct Corpus {
    std::vector<double> data;
    std::size_t n = 0;
    std::size_t d = 0;
    RowsView view() const { return RowsView{data.data(), n, d, nullptr}; }
    std::vector<double> row(std::size_t i) const {
        return {data.begin() + static_cast<std::ptrdiff_t>(i * d), data.begin() + static_cast<std::ptrdiff_t>((i + 1) * d)};
    }
};

Corpus gaussian_corpus(std::size_t n, std::size_t d, std::uint64_t seed) {
    Corpus c{random::gaussian_vector(seed, n * d), n, d};
    return c;
}

// Points around `clusters` random centres, spread mostly inside a few local directions per
// cluster (as real embeddings are), plus a little isotropic noise.
Corpus clustered_corpus(std::size_t clusters, std::size_t per_cluster, std::size_t d, std::uint64_t seed) {
    constexpr std::size_t kLocalDims = 4;
    Corpus c;
    c.n = clusters * per_cluster;
    c.d = d;
    c.data.reserve(c.n * d);
    for (std::size_t g = 0; g < clusters; ++g) {
        const auto centre = random::gaussian_vector(seed, d);
        const auto local = random::gaussian_vector(seed, kLocalDims * d);
        for (std::size_t p = 0; p < per_cluster; ++p) {
            const auto coeff = random::gaussian_vector(seed, kLocalDims);
            const auto noise = random::gaussian_vector(seed, d);
            for (std::size_t j = 0; j < d; ++j) {
                double v = centre[j] + 0.05 * noise[j];
                for (std::size_t l = 0; l < kLocalDims; ++l) v += 0.3 * coeff[l] * local[l * d + j];
                c.data.push_back(v);
            }
        }
    }
    return c;
}

double plain_norm(const double* v, std::size_t d) {
    double s = 0.0;
    for (std::size_t j = 0; j < d; ++j) s += v[j] * v[j];
    return std::sqrt(s);
}

std::vector<double> norms_of(const Corpus& c) {
    std::vector<double> norms(c.n);
    for (std::size_t i = 0; i < c.n; ++i) norms[i] = plain_norm(c.data.data() + i * c.d, c.d);
    return norms;
}

// Brute force written independently of the library: plain cosine over every vector.
std::vector<Neighbor> brute_force(const Corpus& c, const std::vector<double>& norms, const std::vector<double>& q,
                                  std::size_t k, std::size_t exclude) {
    const double qn = plain_norm(q.data(), c.d);
    std::vector<Neighbor> all;
    for (std::size_t i = 0; i < c.n; ++i) {
        if (i == exclude) continue;
        const double* v = c.data.data() + i * c.d;
        double s = 0.0;
        for (std::size_t j = 0; j < c.d; ++j) s += q[j] * v[j];
        all.push_back({i, s / (qn * norms[i])});
    }
    const std::size_t keep = std::min(k, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(keep), all.end(),
                      [](const Neighbor& a, const Neighbor& b) {
                          return a.similarity != b.similarity ? a.similarity > b.similarity : a.index < b.index;
                      });
    all.resize(keep);
    return all;
}

std::vector<std::size_t> indices_of(const std::vector<Neighbor>& hits) {
    std::vector<std::size_t> out;
    for (const auto& h : hits) out.push_back(h.index);
    return out;
}

AnnIndex build_or_die(const RowsView& rows, const AnnConfig& config = {}) {
    auto built = AnnIndex::build(rows, config);
    if (!built.ok()) ADD_FAILURE() << built.error();
    return std::move(built).value();
}

TEST(AnnIndex, DefaultConfiguration) {
    const AnnConfig config;
    EXPECT_EQ(config.n_trees, 8u);
    EXPECT_EQ(config.max_leaf_size, 40u);
    EXPECT_EQ(config.seed, 0xA00F0E57u);
}

TEST(AnnIndex, BuildErrors) {
    const std::vector<double> flat = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const RowsView three{flat.data(), 3, 3, nullptr};
    const std::vector<double> ragged_data = {1, 0, 0, 0, 1, 0, 0, 0, 1, 1};
    const std::size_t offsets[] = {0, 3, 6, 10};
    const RowsView ragged{ragged_data.data(), 3, 0, offsets};

    struct Case {
        const char* name;
        Result<AnnIndex, std::string> result;
        std::string message;
    };
    const std::string no_trees = "AnnConfig.n_trees must be > 0 (zero trees yields an index that returns no neighbors)";
    const std::string no_leaf = "AnnConfig.max_leaf_size must be > 0 (zero recurses forever on singleton partitions)";
    Case cases[] = {
        {"zero trees", AnnIndex::build(three, {0, 40, 1}), no_trees},
        {"zero leaf size", AnnIndex::build(three, {8, 0, 1}), no_leaf},
        {"trees checked first", AnnIndex::build(three, {0, 0, 1}), no_trees},
        {"build: empty", AnnIndex::build(RowsView{}, {}), "AnnIndex::build requires at least one vector"},
        {"build: ragged", AnnIndex::build(ragged, {}), "AnnIndex::build: vector 2 has dim 4, expected 3"},
        {"normalized: empty", AnnIndex::build_normalized({}, 3, {}),
         "AnnIndex::build_normalized requires at least one vector"},
        {"normalized: ragged tail", AnnIndex::build_normalized({1, 0, 0, 0, 1}, 3, {}),
         "AnnIndex::build_normalized: vector 1 has dim 2, expected 3"},
        {"normalized: zero trees", AnnIndex::build_normalized({1, 0, 0}, 3, {0, 40, 1}), no_trees},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.result.ok()) << c.name;
        EXPECT_EQ(c.result.error(), c.message) << c.name;
    }
}

TEST(AnnIndex, StoresUnitVectorsAndKeepsZeroVectors) {
    const std::vector<double> flat = {3, 4, 0, 0, 0, 0, 0, 0, -2};
    const AnnIndex index = build_or_die(RowsView{flat.data(), 3, 3, nullptr});
    const auto v0 = index.vector(0), v1 = index.vector(1), v2 = index.vector(2);
    EXPECT_NEAR(v0[0], 0.6, 1e-15);
    EXPECT_NEAR(v0[1], 0.8, 1e-15);
    EXPECT_EQ(std::vector<double>(v1.begin(), v1.end()), std::vector<double>(3, 0.0));
    EXPECT_EQ(v2[2], -1.0);
}

TEST(AnnIndex, QueryOfWrongLengthIsRejected) {
    const Corpus c = gaussian_corpus(10, 3, 7);
    const AnnIndex index = build_or_die(c.view());
    const auto result = index.query(std::vector<double>{1.0, 2.0}, 3);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().display(), "expected dimension 3, got 2");
}

// Up to max_leaf_size points every tree is one leaf, so every vector is scored.
TEST(AnnIndex, SmallCorpusMatchesExactSearch) {
    for (const std::size_t n : {2u, 17u, 40u}) {
        const Corpus c = gaussian_corpus(n, 6, 100 + n);
        const auto norms = norms_of(c);
        const AnnIndex index = build_or_die(c.view());
        for (std::size_t i = 0; i < n; ++i) {
            const auto expected = brute_force(c, norms, c.row(i), 10, i);
            const auto by_index = index.query_by_index(i, 10);
            EXPECT_EQ(indices_of(by_index), indices_of(expected)) << "n=" << n << " i=" << i;
            for (std::size_t r = 0; r < std::min(by_index.size(), expected.size()); ++r) {
                EXPECT_NEAR(by_index[r].similarity, expected[r].similarity, 1e-12);
            }
            // A scaled copy of a stored vector finds that vector first, with similarity 1.
            std::vector<double> scaled = c.row(i);
            for (double& v : scaled) v *= 3.5;
            const auto hits = index.query(scaled, 10).value();
            ASSERT_FALSE(hits.empty());
            EXPECT_EQ(hits[0].index, i);
            EXPECT_NEAR(hits[0].similarity, 1.0, 1e-12);
            EXPECT_EQ(hits.size(), std::min<std::size_t>(10, n));
        }
    }
}

TEST(AnnIndex, ExactNeighborRowsMatchBruteForce) {
    const Corpus c = gaussian_corpus(150, 5, 11);
    const auto norms = norms_of(c);
    std::vector<double> unit = c.data;
    for (std::size_t i = 0; i < c.n; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < c.d; ++j) s += unit[i * c.d + j] * unit[i * c.d + j];
        for (std::size_t j = 0; j < c.d; ++j) unit[i * c.d + j] /= std::sqrt(s);
    }
    for (const std::size_t k : {1u, 7u, 149u, 500u}) {
        const NeighborRows rows = exact_neighbor_rows(unit, c.n, c.d, k);
        ASSERT_EQ(rows.size(), c.n);
        for (std::size_t i = 0; i < c.n; ++i) {
            const auto expected = brute_force(c, norms, c.row(i), k, i);
            const auto row = rows[i];
            ASSERT_EQ(row.size(), expected.size()) << "k=" << k;
            for (std::size_t r = 0; r < row.size(); ++r) {
                EXPECT_EQ(row[r].index, expected[r].index) << "k=" << k << " i=" << i << " r=" << r;
            }
        }
    }
}

TEST(AnnIndex, IdenticalVectorsStillBuild) {
    std::vector<double> flat;
    for (int i = 0; i < 2000; ++i) flat.insert(flat.end(), {0.3, -1.2, 2.0, 0.7});
    const AnnIndex index = build_or_die(RowsView{flat.data(), 2000, 4, nullptr});
    const auto hits = index.query_by_index(0, 5);
    ASSERT_EQ(hits.size(), 5u);
    for (const auto& h : hits) {
        EXPECT_NE(h.index, 0u);
        EXPECT_NEAR(h.similarity, 1.0, 1e-12);
    }
}

TEST(AnnIndex, ResultsAreNeverPadded) {
    // One tree: a query sees exactly one leaf of at most 40 points, itself excluded.
    const Corpus c = gaussian_corpus(300, 8, 5);
    const AnnIndex index = build_or_die(c.view(), {1, 40, 0xA00F0E57});
    for (std::size_t i = 0; i < c.n; ++i) {
        const auto hits = index.query_by_index(i, 200);
        EXPECT_LE(hits.size(), 39u);
        EXPECT_GE(hits.size(), 1u);
    }
}

TEST(AnnIndex, QueryByIndexExcludesSelfAndRanksBestFirst) {
    const Corpus c = clustered_corpus(20, 150, 16, 3);
    const AnnIndex index = build_or_die(c.view());
    EXPECT_TRUE(index.query_by_index(c.n, 5).empty());
    for (std::size_t i = 0; i < c.n; ++i) {
        const auto hits = index.query_by_index(i, 10);
        ASSERT_EQ(hits.size(), 10u);
        for (std::size_t r = 0; r < hits.size(); ++r) {
            EXPECT_NE(hits[r].index, i);
            if (r > 0) {
                EXPECT_GE(hits[r - 1].similarity, hits[r].similarity);
            }
        }
        const auto self = index.query(c.row(i), 10).value();
        ASSERT_FALSE(self.empty());
        EXPECT_EQ(self[0].index, i);
        EXPECT_NEAR(self[0].similarity, 1.0, 1e-12);
        // Without i itself the query is the by-index answer, similarities included.
        std::vector<Neighbor> rest;
        const auto with_self = index.query(c.row(i), 11).value();
        for (const auto& h : with_self) {
            if (h.index != i) rest.push_back(h);
        }
        rest.resize(std::min<std::size_t>(rest.size(), 10));
        EXPECT_EQ(indices_of(rest), indices_of(hits)) << i;
    }
}

TEST(AnnIndex, RecallAtTenOnClusteredPoints) {
    const Corpus c = clustered_corpus(30, 100, 32, 2024);
    const auto norms = norms_of(c);
    const AnnIndex index = build_or_die(c.view());
    std::size_t found = 0, wanted = 0;
    for (std::size_t i = 0; i < c.n; ++i) {
        const auto exact = indices_of(brute_force(c, norms, c.row(i), 10, i));
        const auto approx = indices_of(index.query_by_index(i, 10));
        for (std::size_t e : exact) found += std::count(approx.begin(), approx.end(), e);
        wanted += exact.size();
    }
    const double recall = static_cast<double>(found) / static_cast<double>(wanted);
    EXPECT_GE(recall, 0.9);
}

TEST(AnnIndex, DeterministicAcrossBuildsAndThreadCounts) {
    // Large enough that the root splits and the all-rows query run on the pool.
    const Corpus c = clustered_corpus(40, 250, 12, 99);
    auto answers = [&](std::size_t threads, const AnnConfig& config) {
        ThreadCountScope scope(threads);
        const AnnIndex index = build_or_die(c.view(), config);
        return index.query_all_by_index(10);
    };
    const NeighborRows one = answers(1, {});
    const NeighborRows again = answers(1, {});
    const NeighborRows two = answers(2, {});
    EXPECT_EQ(one.offsets, again.offsets);
    EXPECT_EQ(one.entries, again.entries);
    EXPECT_EQ(one.offsets, two.offsets);
    EXPECT_EQ(one.entries, two.entries);  // similarities compared bit for bit

    // The bulk answer is the per-index answer.
    const AnnIndex index = build_or_die(c.view());
    for (std::size_t i = 0; i < c.n; i += 97) {
        const auto row = one[i];
        EXPECT_EQ(std::vector<Neighbor>(row.begin(), row.end()), index.query_by_index(i, 10)) << i;
    }

    // The seed drives the forest.
    const NeighborRows other = answers(2, {8, 40, 12345});
    EXPECT_NE(one.entries, other.entries);
}

}  // namespace
}  // namespace korvane::projection
