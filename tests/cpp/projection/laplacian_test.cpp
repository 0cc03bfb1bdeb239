#include "projection/laplacian.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/random.hpp"
#include "dense_eigen.hpp"

namespace korvane::projection {
namespace {

struct Corpus {
    std::vector<double> data;
    std::size_t n = 0;
    std::size_t d = 0;
    RowsView view() const { return RowsView{data.data(), n, d, nullptr}; }
    std::span<const double> row(std::size_t i) const { return {data.data() + i * d, d}; }
};

struct RaggedCorpus {
    std::vector<double> data;
    std::vector<std::size_t> offsets{0};
    void add(std::vector<double> row) {
        data.insert(data.end(), row.begin(), row.end());
        offsets.push_back(data.size());
    }
    RowsView view() const { return RowsView{data.data(), offsets.size() - 1, 0, offsets.data()}; }
};

// Feature-like rows: each axis is strong (0.2..1, either sign) with probability `density`,
// otherwise weak (below 0.04). `shared_axis` makes axis 0 strong everywhere.
Corpus sparse_corpus(std::size_t n, std::size_t d, double density, std::uint64_t seed, bool shared_axis = false) {
    random::SplitMix64 rng{seed};
    Corpus c{{}, n, d};
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < d; ++k) {
            const bool strong = (shared_axis && k == 0) || rng.next_f64() < density;
            const double sign = rng.next_f64() < 0.5 ? -1.0 : 1.0;
            const double size = strong ? 0.2 + 0.8 * rng.next_f64() : 0.04 * rng.next_f64();
            c.data.push_back(sign * size);
        }
    }
    return c;
}

Result<LaplacianEigenmapProjection, ProjectionError> fit(const RowsView& rows, std::size_t k,
                                                         RadialStrategy radial = FixedRadius{1.0}) {
    return LaplacianEigenmapProjection::fit_with_params(rows, k, radial, 0.05);
}

// The graph restated without heaps: every node sorts all its positive neighbours by similarity
// and then index, both descending, keeps the first k; an edge kept by either side is kept.
struct ReferenceGraph {
    std::vector<double> degrees;
    std::vector<double> affinity;  // dense n × n
};

ReferenceGraph reference_graph(const Corpus& c, std::size_t k) {
    const std::size_t n = c.n;
    std::vector<std::vector<std::size_t>> sets(n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < c.d; ++j)
            if (std::fabs(c.row(i)[j]) > 0.05) sets[i].push_back(j);
    const auto similarity = [&](std::size_t i, std::size_t j) {
        std::vector<std::size_t> common;
        std::set_intersection(sets[i].begin(), sets[i].end(), sets[j].begin(), sets[j].end(), std::back_inserter(common));
        const double united = static_cast<double>(sets[i].size() + sets[j].size() - common.size());
        return united == 0 ? 0.0 : static_cast<double>(common.size()) / united;
    };
    std::map<std::pair<std::size_t, std::size_t>, double> edges;
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<std::pair<double, std::size_t>> ranked;
        for (std::size_t j = 0; j < n; ++j)
            if (j != i && similarity(i, j) > 0) ranked.emplace_back(similarity(i, j), j);
        std::sort(ranked.rbegin(), ranked.rend());
        for (std::size_t r = 0; r < std::min(k, ranked.size()); ++r) {
            const std::size_t j = ranked[r].second;
            edges[{std::min(i, j), std::max(i, j)}] = ranked[r].first;
        }
    }
    ReferenceGraph g;
    g.degrees.assign(n, 0.0);
    for (const auto& [ij, w] : edges) {
        g.degrees[ij.first] += w;
        g.degrees[ij.second] += w;
    }
    for (double& deg : g.degrees) deg = std::max(deg, 1e-6);
    g.affinity.assign(n * n, 0.0);
    for (const auto& [ij, w] : edges) {
        const auto [i, j] = ij;
        g.affinity[i * n + j] = g.affinity[j * n + i] = w / std::sqrt(g.degrees[i] * g.degrees[j]);
    }
    return g;
}

// --- validation ---------------------------------------------------------------------------

TEST(LaplacianErrors, NeedsFourEmbeddingsAndANonEmptyFirstOne) {
    const Corpus three = sparse_corpus(3, 5, 0.5, 1);
    RaggedCorpus empty_first;
    empty_first.add({});
    for (int i = 0; i < 4; ++i) empty_first.add({1.0, 0.5});
    struct Case {
        const char* name;
        RowsView rows;
        std::string message;
    };
    const Case cases[] = {
        {"none", RowsView{}, "need at least 4 embeddings, got 0"},
        {"three", three.view(), "need at least 4 embeddings, got 3"},
        {"empty first", empty_first.view(), "embedding dimension 0 is below the minimum 1 for this projection"},
    };
    for (const Case& c : cases) {
        auto result = fit(c.rows, 15);
        ASSERT_FALSE(result.ok()) << c.name;
        EXPECT_EQ(display(result.error()), c.message) << c.name;
    }
}

// The out-of-sample formula written out: Jaccard similarity to every training set, scaled by
// sqrt of their sum and of each training degree, then divided by the eigenvalue.
std::array<double, 3> expected_coordinates(const LaplacianEigenmapProjection& fitted,
                                           const std::vector<std::vector<std::size_t>>& training,
                                           std::span<const double> query) {
    const std::vector<std::size_t> q = active_axes(query, fitted.active_threshold());
    std::vector<double> s;
    double total = 0.0;
    for (const auto& set : training) {
        s.push_back(jaccard_similarity(q, set));
        total += s.back();
    }
    const double c = std::sqrt(std::max(total, 1e-6));
    std::array<double, 3> out{};
    for (std::size_t k = 0; k < 3; ++k) {
        const double mu = fitted.eigenvalues()[k];
        if (std::fabs(mu) < 1e-10) continue;
        for (std::size_t i = 0; i < training.size(); ++i)
            out[k] += s[i] / (c * std::sqrt(fitted.degrees()[i])) * fitted.eigenvectors()[k][i];
        out[k] /= mu;
    }
    return out;
}

TEST(LaplacianErrors, RowsAndQueriesOfAnyLengthAreAccepted) {
    const std::vector<std::vector<double>> rows{
        {0.9, 0.0, 0.3}, {}, {0.0, 0.8, 0.4, 0.0, 0.0, 0.0, 0.7}, {0.6, 0.6}, {0.1, 0.0, 0.9, 0.0, 0.2}};
    RaggedCorpus ragged;
    std::vector<std::vector<std::size_t>> sets;
    for (const auto& row : rows) {
        ragged.add(row);
        sets.push_back(active_axes(row, 0.05));
    }
    auto result = fit(ragged.view(), 2);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->dimensionality(), 3u);
    for (std::size_t len : {0u, 1u, 3u, 7u, 64u, 300u}) {
        // Alternate axes active, so long queries also hold axes no training row reaches.
        std::vector<double> q(len, 0.0);
        for (std::size_t j = 0; j < len; j += 2) q[j] = 0.5;
        const std::array<double, 3> want = expected_coordinates(*result, sets, q);
        const std::array<double, 3> got = result->project_to_3d(q);
        for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(got[k], want[k], 1e-12 * (1.0 + std::fabs(want[k]))) << len;
        EXPECT_EQ(result->project(q).r, 1.0) << len;
    }
}

// --- similarity ---------------------------------------------------------------------------

TEST(LaplacianSimilarity, ActiveAxesAreStrictlyAboveTheThreshold) {
    const std::vector<double> v{0.05, -0.05, 0.0500001, -0.06, 0.0, 0.04, 1.0};
    EXPECT_EQ(active_axes(v, 0.05), (std::vector<std::size_t>{2, 3, 6}));
    EXPECT_TRUE(active_axes(std::vector<double>{}, 0.05).empty());
}

TEST(LaplacianSimilarity, JaccardOfIndexSets) {
    using Set = std::vector<std::size_t>;
    struct Case {
        Set a, b;
        double want;
    };
    const Case cases[] = {
        {{0, 3, 9}, {0, 3, 9}, 1.0}, {{0, 1, 2}, {1, 2, 3}, 0.5}, {{0}, {0, 1, 2, 3}, 0.25},
        {{0, 1}, {2, 3}, 0.0},       {{}, {}, 0.0},               {{}, {4}, 0.0},
        {{1, 5, 7, 100}, {5, 100, 200}, 2.0 / 5.0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(jaccard_similarity(c.a, c.b), c.want);
        EXPECT_EQ(jaccard_similarity(c.b, c.a), c.want);
    }
    // Only which axes are strong matters, not their values.
    const std::vector<double> x{0.9, 0.0, -0.1, 0.01}, y{0.2, 0.03, -0.7, 0.0};
    EXPECT_EQ(jaccard_similarity(active_axes(x, 0.05), active_axes(y, 0.05)), 1.0);
}

// --- graph --------------------------------------------------------------------------------

TEST(LaplacianGraph, TiesAtTheCutOffKeepTheHigherIndex) {
    // Node 0 has similarity 1/2 to every other node; each of the others has an identical twin.
    // With k = 1 node 0 keeps node 4, and the twins keep each other.
    const Corpus c{{1.0, 0.0, 0.0,  //
                    1.0, 1.0, 0.0,  //
                    0.3, -0.8, 0.0,  //
                    1.0, 0.0, 1.0,  //
                    -0.6, 0.0, 0.2},
                   5, 3};
    auto result = fit(c.view(), 1);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->degrees(), (std::vector<double>{0.5, 1.0, 1.0, 1.0, 1.5}));
}

TEST(LaplacianGraph, NeighbourCountIsClampedToOneAndToNMinusOne) {
    const Corpus c = sparse_corpus(9, 8, 0.4, 5);
    struct Case {
        std::size_t asked, same_as;
    };
    for (const Case& k : {Case{0, 1}, Case{8, 8}, Case{9, 8}, Case{100, 8}, Case{std::numeric_limits<std::size_t>::max(), 8}}) {
        auto a = fit(c.view(), k.asked), b = fit(c.view(), k.same_as);
        ASSERT_TRUE(a.ok() && b.ok());
        EXPECT_EQ(a->degrees(), b->degrees()) << k.asked;
        EXPECT_EQ(a->eigenvalues(), b->eigenvalues()) << k.asked;
    }
    auto one = fit(c.view(), 1), all = fit(c.view(), 8);
    EXPECT_NE(one->degrees(), all->degrees()) << "the clamp cases would not tell k apart";
}

TEST(LaplacianGraph, MatchesADenseSpectrumOfTheNormalisedAffinity) {
    const Corpus c = sparse_corpus(18, 10, 0.35, 29);
    const std::size_t n = c.n, k = 3;
    auto result = fit(c.view(), k);
    ASSERT_TRUE(result.ok());
    const ReferenceGraph g = reference_graph(c, k);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(result->degrees()[i], g.degrees[i], 1e-12) << i;

    // The power iteration works orthogonally to t = sqrt(deg) / |sqrt(deg)|, so compare with the
    // spectrum of P·M·P, P = I − t·tᵀ: its three eigenvalues of largest magnitude.
    double total = 0.0;
    for (double deg : g.degrees) total += deg;
    std::vector<double> t(n);
    for (std::size_t i = 0; i < n; ++i) t[i] = std::sqrt(g.degrees[i] / total);
    std::vector<double> p(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) p[i * n + j] = (i == j ? 1.0 : 0.0) - t[i] * t[j];
    std::vector<double> pm(n * n, 0.0), pmp(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t l = 0; l < n; ++l) pm[i * n + j] += p[i * n + l] * g.affinity[l * n + j];
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            for (std::size_t l = 0; l < n; ++l) pmp[i * n + j] += pm[i * n + l] * p[l * n + j];
    std::vector<double> values = testing::jacobi(pmp, n).values;
    std::sort(values.begin(), values.end(), [](double a, double b) { return std::fabs(a) > std::fabs(b); });
    // Clear gaps in magnitude, so 400 iterations converge.
    for (std::size_t r = 0; r < 3; ++r) ASSERT_LT(std::fabs(values[r + 1]) / std::fabs(values[r]), 0.9) << r;
    std::vector<double> want(values.begin(), values.begin() + 3);
    std::sort(want.rbegin(), want.rend());
    ASSERT_LT(want[2], 0.0) << "meant to include a negative eigenvalue, to exercise the signed order";

    const auto& got = result->eigenvalues();
    for (std::size_t r = 0; r < 3; ++r) EXPECT_NEAR(got[r], want[r], 1e-7) << r;
    EXPECT_NEAR(result->connectivity_ratio(), (std::fabs(want[0]) + std::fabs(want[1]) + std::fabs(want[2])) / 3.0, 1e-7);
    EXPECT_EQ(result->explained_variance_ratio(), result->connectivity_ratio());
}

// With k = n − 1 and every pair overlapping, a training point's similarities are its graph row
// plus 1 for itself, so its out-of-sample coordinate on component k reduces to
// e_k[i]·(deg_i·μ_k + 1) / (sqrt(deg_i)·sqrt(deg_i + 1)·μ_k).
TEST(LaplacianOutOfSample, TrainingPointsOfTheFullGraphFollowTheirEigenvectors) {
    // Also on rows whose one far axis makes the sets too wide for bitsets, so both ways of
    // comparing sets are covered.
    for (bool wide : {false, true}) {
        Corpus c = sparse_corpus(12, 9, 0.3, 17, /*shared_axis=*/true);
        if (wide) {
            Corpus padded{{}, c.n, 5001};
            for (std::size_t i = 0; i < c.n; ++i) {
                padded.data.insert(padded.data.end(), c.row(i).begin(), c.row(i).end());
                padded.data.resize((i + 1) * padded.d, 0.0);
                padded.data.back() = i % 2 == 0 ? 0.5 : 0.0;
            }
            c = padded;
        }
        auto result = fit(c.view(), c.n - 1);
        ASSERT_TRUE(result.ok());
        const ReferenceGraph g = reference_graph(c, c.n - 1);
        for (std::size_t i = 0; i < c.n; ++i) EXPECT_NEAR(result->degrees()[i], g.degrees[i], 1e-12) << wide;
        const auto& mu = result->eigenvalues();
        const auto& e = result->eigenvectors();
        for (std::size_t k = 0; k < 3; ++k) ASSERT_GT(std::fabs(mu[k]), 1e-3);
        for (std::size_t i = 0; i < c.n; ++i) {
            const double deg = result->degrees()[i];
            const std::array<double, 3> got = result->project_to_3d(c.row(i));
            for (std::size_t k = 0; k < 3; ++k) {
                const double want = e[k][i] * (deg * mu[k] + 1.0) / (std::sqrt(deg) * std::sqrt(deg + 1.0) * mu[k]);
                EXPECT_NEAR(got[k], want, 1e-4 * (1.0 + std::fabs(want))) << wide << ":" << i << "," << k;
            }
            const ProjectedPoint rich = result->project_rich(c.row(i));
            const double p = std::sqrt(got[0] * got[0] + got[1] * got[1] + got[2] * got[2]);
            EXPECT_DOUBLE_EQ(rich.projection_magnitude, p);
            EXPECT_DOUBLE_EQ(rich.certainty, std::tanh(p));
        }
    }
}

TEST(LaplacianOutOfSample, QueryWithoutActiveAxesLandsOnTheAxis) {
    const Corpus c = sparse_corpus(10, 6, 0.4, 9);
    auto result = fit(c.view(), 3, MagnitudeRadius{});
    ASSERT_TRUE(result.ok());
    const std::vector<double> quiet{0.01, -0.02, 0.05, 0.0, -0.05, 0.03};
    const ProjectedPoint p = result->project_rich(quiet);
    EXPECT_EQ(p.position, (geometry::SphericalPoint{magnitude(quiet), 0.0, 0.0}));
    EXPECT_EQ(p.certainty, 0.0);
    EXPECT_EQ(p.intensity, magnitude(quiet));
}

TEST(LaplacianOutOfSample, DisjointActiveSetsGiveAnEmptyGraph) {
    const Corpus c{{0.9, 0, 0, 0, 0, -0.7, 0, 0, 0, 0, 0.3, 0, 0, 0, 0, 0.5}, 4, 4};
    auto result = fit(c.view(), 15);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result->degrees(), std::vector<double>(4, 1e-6));
    EXPECT_EQ(result->eigenvalues(), (std::array<double, 3>{0.0, 0.0, 0.0}));
    EXPECT_EQ(result->connectivity_ratio(), 0.0);
    const ProjectedPoint p = result->project_rich(c.row(0));
    EXPECT_EQ(p.position, (geometry::SphericalPoint{1.0, 0.0, 0.0}));
    EXPECT_EQ(p.certainty, 0.0);
}

TEST(LaplacianPlacement, RadiusFollowsTheRadialStrategy) {
    const Corpus c = sparse_corpus(10, 6, 0.4, 9);
    auto by_magnitude = fit(c.view(), 3, MagnitudeRadius{});
    auto fixed = fit(c.view(), 3, FixedRadius{2.0});
    ASSERT_TRUE(by_magnitude.ok() && fixed.ok());
    for (std::size_t i = 0; i < c.n; ++i) {
        const ProjectedPoint a = by_magnitude->project_rich(c.row(i)), b = fixed->project_rich(c.row(i));
        EXPECT_EQ(a.position.r, magnitude(c.row(i)));
        EXPECT_EQ(b.position.r, 2.0);
        EXPECT_EQ(a.position.theta, b.position.theta);
        EXPECT_EQ(a.position.phi, b.position.phi);
    }
}

// --- determinism --------------------------------------------------------------------------

TEST(LaplacianDeterminism, RepeatedFitsAreBitIdenticalAndOrdered) {
    const Corpus c = sparse_corpus(60, 20, 0.25, 11);
    auto a = fit(c.view(), 6), b = fit(c.view(), 6);
    ASSERT_TRUE(a.ok() && b.ok());
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(a->eigenvalues()[k]), std::bit_cast<std::uint64_t>(b->eigenvalues()[k]));
        EXPECT_EQ(a->eigenvectors()[k], b->eigenvectors()[k]);
    }
    EXPECT_GE(a->eigenvalues()[0], a->eigenvalues()[1]);
    EXPECT_GE(a->eigenvalues()[1], a->eigenvalues()[2]);
    for (std::size_t i = 0; i < c.n; i += 5) EXPECT_EQ(a->project(c.row(i)), b->project(c.row(i)));
}

}  // namespace
}  // namespace korvane::projection
