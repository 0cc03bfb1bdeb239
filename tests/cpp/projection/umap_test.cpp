#include "projection/umap.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "common/parallel.hpp"
#include "common/random.hpp"
#include "geometry/conversions.hpp"
#include "projection/pca.hpp"

namespace korvane::projection {
namespace {

using geometry::Vec3;

struct ThreadCountScope {
    explicit ThreadCountScope(std::size_t n) { parallel::set_thread_count(n); }
    ~ThreadCountScope() { parallel::set_thread_count(0); }
};

struct Corpus {
    std::vector<double> data;
    std::size_t n = 0;
    std::size_t d = 0;
    std::vector<std::uint32_t> labels;
    std::vector<std::vector<double>> centres;
    RowsView view() const { return RowsView{data.data(), n, d, nullptr}; }
    std::vector<double> row(std::size_t i) const {
        return {data.begin() + static_cast<std::ptrdiff_t>(i * d), data.begin() + static_cast<std::ptrdiff_t>((i + 1) * d)};
    }
};

// Well-separated clusters: unit-scale random centres, members spread mostly along two local
// directions with a little isotropic noise.
Corpus clustered(std::size_t clusters, std::size_t per_cluster, std::size_t d, std::uint64_t seed) {
    Corpus c;
    c.n = clusters * per_cluster;
    c.d = d;
    for (std::size_t g = 0; g < clusters; ++g) {
        c.centres.push_back(random::gaussian_vector(seed, d));
        const auto local = random::gaussian_vector(seed, 2 * d);
        for (std::size_t p = 0; p < per_cluster; ++p) {
            const auto coeff = random::gaussian_vector(seed, 2);
            const auto noise = random::gaussian_vector(seed, d);
            for (std::size_t j = 0; j < d; ++j) {
                c.data.push_back(c.centres[g][j] + 0.25 * (coeff[0] * local[j] + coeff[1] * local[d + j]) +
                                 0.02 * noise[j]);
            }
            c.labels.push_back(static_cast<std::uint32_t>(g));
        }
    }
    return c;
}

double norm3(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

UmapGraph graph_or_die(const RowsView& rows, std::size_t n_neighbors) {
    auto built = UmapGraph::build(rows, n_neighbors);
    if (!built.ok()) ADD_FAILURE() << display(built.error());
    return std::move(built).value();
}

UmapSphereProjection fit_or_die(const UmapGraph& graph, std::span<const std::uint32_t> labels,
                                const UmapFitParams& params, RadialStrategy radial = MagnitudeRadius{}) {
    auto fitted = UmapSphereProjection::fit_from_graph(graph, labels, radial, params);
    if (!fitted.ok()) ADD_FAILURE() << display(fitted.error());
    return std::move(fitted).value();
}

std::vector<Vec3> positions_of(const UmapSphereProjection& p) { return {p.positions().begin(), p.positions().end()}; }

UmapFitParams short_run(std::size_t epochs = 40) {
    UmapFitParams params;
    params.n_epochs = epochs;
    return params;
}

// ---------------------------------------------------------------------------------------------
// Building blocks

TEST(UmapCurve, MinDistPointOneGivesTheKnownParameters) {
    const CurveParameters curve = fit_curve_parameters(0.1);
    EXPECT_NEAR(curve.a, 1.568, 2e-3);
    EXPECT_NEAR(curve.b, 0.900, 2e-3);
    const CurveParameters again = fit_curve_parameters(0.1);
    EXPECT_EQ(curve.a, again.a);
    EXPECT_EQ(curve.b, again.b);
}

TEST(UmapCurve, LargerMinDistFlattensTheCurve) {
    // The target stays at 1 up to min_dist: a later fall-off needs a smaller a (or larger b).
    const CurveParameters tight = fit_curve_parameters(0.0), loose = fit_curve_parameters(0.25);
    auto similarity = [](const CurveParameters& c, double t) { return 1.0 / (1.0 + c.a * std::pow(t, 2.0 * c.b)); };
    for (double t : {0.2, 0.3, 0.5}) EXPECT_GT(similarity(loose, t), similarity(tight, t)) << t;
}

TEST(UmapKernelMath, PowerMatchesTheCLibrary) {
    std::uint64_t state = 77;
    for (int i = 0; i < 20000; ++i) {
        const double x = std::exp(-14.0 + 15.5 * random::splitmix64_next_f64(state));  // 8e-7 .. 4.5
        const double y = -1.0 + 3.5 * random::splitmix64_next_f64(state);
        const double expected = std::pow(x, y);
        ASSERT_NEAR(detail::kernel_pow(x, y), expected, 1e-14 * expected) << x << "^" << y;
    }
    EXPECT_EQ(detail::kernel_pow(1.0, 0.7), 1.0);
    EXPECT_EQ(detail::kernel_pow(4.0, 0.5), 2.0);
}

TEST(UmapKernelMath, FastModuloIsTheRemainder) {
    std::uint64_t state = 5;
    for (const std::uint32_t divisor : {1u, 2u, 3u, 7u, 1999u, 2000u, 65536u, 123456789u, 4294967291u, 4294967295u}) {
        const detail::FastModulo mod(divisor);
        for (const std::uint64_t edge : {0ULL, 1ULL, ~0ULL, ~0ULL - 1, 1ULL << 63}) {
            ASSERT_EQ(mod(edge), edge % divisor) << divisor;
        }
        for (int i = 0; i < 20000; ++i) {
            const std::uint64_t v = random::splitmix64_next_u64(state);
            ASSERT_EQ(mod(v), v % divisor) << divisor << " " << v;
        }
    }
}

TEST(UmapGraph, MembershipsSumToLogTwoOfTheRowLength) {
    KnnDistanceRows rows;
    const std::vector<std::vector<double>> table = {
        {0.1, 0.2, 0.25, 0.4, 0.9}, {0.1, 0.9}, {}, {0.3, 0.31, 0.32, 0.33, 0.34, 0.35, 0.36, 0.5}, {0.5}};
    for (const auto& r : table) {
        for (double v : r) {
            rows.neighbors.push_back(0);
            rows.distances.push_back(v);
        }
        rows.offsets.push_back(rows.distances.size());
    }
    const std::vector<double> m = row_memberships(rows);
    ASSERT_EQ(m.size(), rows.distances.size());
    for (std::size_t r = 0; r < table.size(); ++r) {
        const std::size_t o = rows.offsets[r], len = rows.offsets[r + 1] - o;
        if (len == 0) continue;
        double sum = 0.0;
        for (std::size_t j = 0; j < len; ++j) {
            sum += m[o + j];
            EXPECT_GT(m[o + j], 0.0);
            if (j > 0) {
                EXPECT_LE(m[o + j], m[o + j - 1]) << "row " << r;  // distances ascend
            }
        }
        EXPECT_EQ(m[o], 1.0) << "the nearest neighbour is fully a member";
        if (len > 1) {
            EXPECT_NEAR(sum, std::log2(static_cast<double>(len)), 1e-5) << "row " << r;
        }
    }
}

TEST(UmapGraph, MembershipBandwidthHasAFloor) {
    // Two neighbours at the nearest distance already sum to 2 > log2(3): σ shrinks until the floor
    // of 0.001 × the mean distance (0.1) takes over, and the third membership is e^(-0.3 / 1e-4).
    KnnDistanceRows rows;
    rows.neighbors = {1, 2, 3, 1};
    rows.distances = {0.0, 0.0, 0.3, 0.0};
    rows.offsets = {0, 3, 4};
    const std::vector<double> m = row_memberships(rows);
    EXPECT_EQ(m[0], 1.0);
    EXPECT_EQ(m[1], 1.0);
    EXPECT_NEAR(m[2], std::exp(-0.3 / 1e-4), 1e-300);
    // A lone neighbour at distance 0: the mean is 0 and the absolute floor 1e-8 keeps σ positive.
    EXPECT_EQ(m[3], 1.0);
}

TEST(UmapGraph, SplitTurnsSimilaritiesIntoDistances) {
    NeighborRows rows;
    rows.entries = {{3, 0.75}, {1, -0.5}, {2, 1.0 + 1e-12}};
    rows.offsets = {0, 2, 3};
    const KnnDistanceRows split = split_knn_rows(rows);
    EXPECT_EQ(split.offsets, rows.offsets);
    EXPECT_EQ(split.neighbors, (std::vector<std::uint32_t>{3, 1, 2}));
    EXPECT_EQ(split.distances, (std::vector<double>{0.25, 1.5, 0.0}));
}

TEST(UmapGraph, ValidationErrors) {
    const std::vector<double> dim2 = {1, 0, 0, 1, 1, 1, 2, 0};
    const std::vector<double> three = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const std::vector<double> ragged_data = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0, 0};
    const std::size_t offsets[] = {0, 3, 7, 10, 13, 16};
    struct Case {
        const char* name;
        RowsView rows;
        std::string message;
    };
    const Case cases[] = {
        {"empty", RowsView{}, "need at least one embedding to fit a projection"},
        {"dimension 2", RowsView{dim2.data(), 4, 2, nullptr},
         "embedding dimension 2 is below the minimum 3 for this projection"},
        {"ragged", RowsView{ragged_data.data(), 5, 0, offsets}, "embedding 1 has dimension 4, expected 3"},
        {"three embeddings", RowsView{three.data(), 3, 3, nullptr}, "need at least 4 embeddings, got 3"},
    };
    for (const auto& c : cases) {
        const auto graph = UmapGraph::build(c.rows, 15);
        ASSERT_FALSE(graph.ok()) << c.name;
        EXPECT_EQ(display(graph.error()), c.message) << c.name;
        const auto fitted = UmapSphereProjection::fit(c.rows, {}, MagnitudeRadius{}, short_run());
        ASSERT_FALSE(fitted.ok()) << c.name;
        EXPECT_EQ(display(fitted.error()), c.message) << c.name;
    }
}

TEST(UmapGraph, NeighbourCountIsClampedToTheCorpus) {
    const Corpus c = clustered(1, 5, 4, 8);
    struct Case {
        std::size_t requested, effective;
    };
    for (const Case k : {Case{15, 4}, Case{4, 4}, Case{2, 2}, Case{0, 1}}) {
        const UmapGraph graph = graph_or_die(c.view(), k.requested);
        EXPECT_EQ(graph.k(), k.effective) << k.requested;
        for (std::size_t i = 0; i < graph.size(); ++i) EXPECT_EQ(graph.neighbors(i).size(), k.effective);
    }
}

TEST(UmapGraph, RowsAreExactNeighboursWithFuzzyUnionWeights) {
    const Corpus c = clustered(4, 30, 6, 21);
    const UmapGraph graph = graph_or_die(c.view(), 8);
    ASSERT_EQ(graph.size(), c.n);
    EXPECT_EQ(graph.dimensionality(), c.d);
    EXPECT_EQ(graph.neighbor_index(), nullptr);

    // Independent brute force over the normalised corpus.
    std::vector<double> unit;
    for (std::size_t i = 0; i < c.n; ++i) {
        const auto u = normalized(c.row(i));
        unit.insert(unit.end(), u.begin(), u.end());
    }
    const auto training = graph.training_points();
    ASSERT_EQ(std::vector<double>(training.begin(), training.end()), unit);

    std::vector<std::vector<std::size_t>> expected_rows(c.n);
    for (std::size_t i = 0; i < c.n; ++i) {
        std::vector<std::pair<double, std::size_t>> all;
        for (std::size_t j = 0; j < c.n; ++j) {
            if (j == i) continue;
            double s = 0.0;
            for (std::size_t t = 0; t < c.d; ++t) s += unit[i * c.d + t] * unit[j * c.d + t];
            all.push_back({-s, j});
        }
        std::sort(all.begin(), all.end());
        for (std::size_t r = 0; r < 8; ++r) expected_rows[i].push_back(all[r].second);
    }

    // Memberships of the same rows, to check the weights are their fuzzy union.
    const NeighborRows exact = exact_neighbor_rows(unit, c.n, c.d, 8);
    const KnnDistanceRows split = split_knn_rows(exact);
    const std::vector<double> membership = row_memberships(split);
    auto membership_of = [&](std::size_t from, std::size_t to) {
        for (std::size_t e = split.offsets[from]; e < split.offsets[from + 1]; ++e) {
            if (split.neighbors[e] == to) return membership[e];
        }
        return 0.0;
    };

    for (std::size_t i = 0; i < c.n; ++i) {
        const auto row = graph.neighbors(i);
        const auto w = graph.weights(i);
        ASSERT_EQ(row.size(), 8u);
        EXPECT_EQ(std::vector<std::size_t>(row.begin(), row.end()), expected_rows[i]) << i;
        for (std::size_t r = 0; r < row.size(); ++r) {
            const std::size_t j = row[r];
            const double a = membership_of(i, j), b = membership_of(j, i);
            EXPECT_DOUBLE_EQ(w[r], std::min(a + b - a * b, 1.0));
            EXPECT_GT(w[r], 0.0);
            EXPECT_LE(w[r], 1.0);
            // A mutual edge carries the same weight both ways.
            const auto back = graph.neighbors(j);
            const auto it = std::find(back.begin(), back.end(), static_cast<std::uint32_t>(i));
            if (it != back.end()) {
                EXPECT_EQ(graph.weights(j)[static_cast<std::size_t>(it - back.begin())], w[r]);
            }
        }
        EXPECT_NEAR(w[0], 1.0, 1e-15) << "the nearest neighbour is fully a member";
    }
}

TEST(UmapGraph, InitialPositionsAreThePcaLayout) {
    Corpus c = clustered(3, 20, 5, 4);
    // A zero embedding joins the corpus as the first basis vector.
    std::fill_n(c.data.begin(), c.d, 0.0);
    const UmapGraph graph = graph_or_die(c.view(), 10);
    const auto pca = PcaProjection::fit(c.view(), FixedRadius{1.0}).value();
    const auto start = graph.initial_positions();
    ASSERT_EQ(start.size(), c.n);
    for (std::size_t i = 0; i < c.n; ++i) {
        EXPECT_NEAR(norm3(start[i]), 1.0, 1e-12) << i;
        const ProjectedPoint rich = pca.project_rich(c.row(i));
        if (rich.projection_magnitude > geometry::kEpsilon) {
            EXPECT_EQ(start[i], geometry::unit_direction(rich.position)) << i;
        }
    }

    // With no epochs the layout is the start.
    const auto fitted = fit_or_die(graph, c.labels, short_run(0));
    EXPECT_EQ(positions_of(fitted), std::vector<Vec3>(start.begin(), start.end()));
}

TEST(UmapGraph, IdenticalEmbeddingsFallBackToTheirLeadingCoordinates) {
    // Every row the same: the centred corpus is zero, so no embedding has a PCA direction.
    std::vector<double> flat;
    for (int i = 0; i < 6; ++i) flat.insert(flat.end(), {0.0, 3.0, 4.0, 12.0});
    const UmapGraph graph = graph_or_die(RowsView{flat.data(), 6, 4, nullptr}, 3);
    for (const Vec3& p : graph.initial_positions()) {
        EXPECT_NEAR(p[0], 0.0, 1e-15);
        EXPECT_NEAR(p[1], 0.6, 1e-15);
        EXPECT_NEAR(p[2], 0.8, 1e-15);
    }
    std::vector<double> axis_free;
    for (int i = 0; i < 5; ++i) axis_free.insert(axis_free.end(), {0.0, 0.0, 0.0, 1.0});
    const UmapGraph fallback = graph_or_die(RowsView{axis_free.data(), 5, 4, nullptr}, 3);
    for (const Vec3& p : fallback.initial_positions()) EXPECT_EQ(p, (Vec3{1.0, 0.0, 0.0}));
}

// ---------------------------------------------------------------------------------------------
// Fitting

TEST(UmapSphereProjection, LabelCountMustMatch) {
    const Corpus c = clustered(1, 5, 4, 1);
    const std::vector<std::uint32_t> three = {0, 1, 0};
    const auto direct = UmapSphereProjection::fit(c.view(), three, MagnitudeRadius{}, short_run());
    ASSERT_FALSE(direct.ok());
    EXPECT_EQ(display(direct.error()), "auxiliary slice has length 3, expected 5");
    const UmapGraph graph = graph_or_die(c.view(), 15);
    const auto from_graph = UmapSphereProjection::fit_from_graph(graph, three, MagnitudeRadius{}, short_run());
    ASSERT_FALSE(from_graph.ok());
    EXPECT_EQ(display(from_graph.error()), "auxiliary slice has length 3, expected 5");
}

TEST(UmapSphereProjection, SeedDeterminesTheLayout) {
    const Corpus c = clustered(4, 40, 8, 3);
    const UmapGraph graph = graph_or_die(c.view(), 10);
    const auto a = positions_of(fit_or_die(graph, c.labels, short_run()));
    const auto b = positions_of(fit_or_die(graph, c.labels, short_run()));
    EXPECT_EQ(a, b);
    // fit() is graph building plus fit_from_graph.
    const auto direct = UmapSphereProjection::fit(c.view(), c.labels, MagnitudeRadius{}, [] {
        UmapFitParams p = short_run();
        p.n_neighbors = 10;
        return p;
    }());
    ASSERT_TRUE(direct.ok());
    EXPECT_EQ(positions_of(direct.value()), a);

    UmapFitParams other = short_run();
    other.seed = 12345;
    EXPECT_NE(positions_of(fit_or_die(graph, c.labels, other)), a);
}

// The epochs written out literally, one step after the other, with the C library's pow: the
// optimised optimiser (kernels on the pool, draws addressed by stream position, overlapped sums)
// must take the same path.
std::vector<Vec3> reference_layout(const UmapGraph& graph, std::span<const std::uint32_t> labels,
                                   const UmapFitParams& p) {
    const std::size_t n = graph.size();
    const CurveParameters curve = fit_curve_parameters(p.min_dist);
    const double a = curve.a, b = curve.b;
    auto attraction = [&](double d2) {
        return 2.0 * a * b * std::pow(std::max(d2, 1e-6), b - 1.0) / (1.0 + a * std::pow(d2, b));
    };
    auto repulsion = [&](double d2) {
        const double ds = std::max(d2, 1e-6);
        return -2.0 * b / ((1.0 + a * std::pow(ds, b)) * ds);
    };
    auto apply = [](std::vector<Vec3>& g, const std::vector<Vec3>& x, std::size_t i, std::size_t j, double cw) {
        for (int k = 0; k < 3; ++k) {
            const double t = cw * (x[i][k] - x[j][k]);
            g[i][k] += t;
            g[j][k] -= t;
        }
    };
    auto d2 = [](const Vec3& u, const Vec3& v) {
        const double dx = u[0] - v[0], dy = u[1] - v[1], dz = u[2] - v[2];
        return dx * dx + dy * dy + dz * dz;
    };
    // Groups by first appearance.
    std::vector<std::uint32_t> seen;
    std::vector<std::vector<std::size_t>> groups;
    std::vector<std::size_t> group_of(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const auto it = std::find(seen.begin(), seen.end(), labels[i]);
        const auto g = static_cast<std::size_t>(it - seen.begin());
        if (it == seen.end()) {
            seen.push_back(labels[i]);
            groups.emplace_back();
        }
        groups[g].push_back(i);
        group_of[i] = g;
    }
    const auto start = graph.initial_positions();
    std::vector<Vec3> x(start.begin(), start.end()), m(n, Vec3{}), v(n, Vec3{});
    random::SplitMix64 rng{p.seed};
    for (std::size_t t = 1; t <= p.n_epochs; ++t) {
        std::vector<Vec3> g(n, Vec3{});
        for (std::size_t i = 0; i < n; ++i) {
            const auto row = graph.neighbors(i);
            const auto w = graph.weights(i);
            for (std::size_t r = 0; r < row.size(); ++r) {
                apply(g, x, i, row[r], attraction(d2(x[i], x[row[r]])) * w[r]);
                for (std::size_t s = 0; s < p.negative_sample_rate; ++s) {
                    const std::size_t other = rng.next_u64() % n;
                    if (other != i) apply(g, x, i, other, repulsion(d2(x[i], x[other])) * w[r]);
                }
            }
        }
        if (!labels.empty() && p.category_weight > 0.0) {
            for (std::size_t i = 0; i < n; ++i) {
                const auto& members = groups[group_of[i]];
                if (members.size() > 1) {
                    std::size_t j = members[rng.next_u64() % (members.size() - 1)];
                    if (j == i) j = members.back();
                    apply(g, x, i, j, attraction(d2(x[i], x[j])) * p.category_weight);
                }
                for (int tries = 0; tries < 8; ++tries) {
                    const std::size_t other = rng.next_u64() % n;
                    if (labels[other] != labels[i]) {
                        apply(g, x, i, other, repulsion(d2(x[i], x[other])) * p.category_weight);
                        break;
                    }
                }
            }
        }
        if (p.warm_start_anchor > 0.0) {
            for (std::size_t i = 0; i < n; ++i) {
                const double c = attraction(d2(x[i], start[i])) * p.warm_start_anchor;
                for (int k = 0; k < 3; ++k) g[i][k] += c * (x[i][k] - start[i][k]);
            }
        }
        const double lr = p.learning_rate * (1.0 - static_cast<double>(t) / static_cast<double>(p.n_epochs));
        for (std::size_t i = 0; i < n; ++i) {
            const double radial = g[i][0] * x[i][0] + g[i][1] * x[i][1] + g[i][2] * x[i][2];
            for (int k = 0; k < 3; ++k) {
                const double tangent = g[i][k] - radial * x[i][k];
                m[i][k] = 0.9 * m[i][k] + 0.1 * tangent;
                v[i][k] = 0.999 * v[i][k] + 0.001 * tangent * tangent;
                const double m_hat = m[i][k] / (1.0 - std::pow(0.9, static_cast<double>(t)));
                const double v_hat = v[i][k] / (1.0 - std::pow(0.999, static_cast<double>(t)));
                x[i][k] -= lr * m_hat / (std::sqrt(v_hat) + 1e-8);
            }
            const double len = norm3(x[i]);
            if (len > geometry::kEpsilon) {
                for (int k = 0; k < 3; ++k) x[i][k] /= len;
            }
        }
    }
    return x;
}

TEST(UmapSphereProjection, EpochsFollowTheLiteralAlgorithm) {
    struct Case {
        const char* name;
        std::size_t clusters, per_cluster;
        bool labelled;
        double anchor;
    };
    const Case cases[] = {
        {"small, labels and anchor", 4, 12, true, 0.5},
        {"small, unlabelled", 4, 12, false, 0.0},
        // More nodes than one summing block, so the overlapped sums are exercised.
        {"several blocks", 7, 300, true, 0.0},
    };
    for (const auto& c : cases) {
        Corpus corpus = clustered(c.clusters, c.per_cluster, 6, 101);
        // Identical and nearly identical embeddings start (almost) at the same point: the
        // attraction of pairs closer than the 1e-6 clamp.
        std::copy_n(corpus.data.begin(), corpus.d, corpus.data.begin() + static_cast<std::ptrdiff_t>(corpus.d));
        std::copy_n(corpus.data.begin(), corpus.d, corpus.data.begin() + static_cast<std::ptrdiff_t>(2 * corpus.d));
        corpus.data[2 * corpus.d] += 1e-5;
        const UmapGraph graph = graph_or_die(corpus.view(), 6);
        UmapFitParams p = short_run(6);
        p.warm_start_anchor = c.anchor;
        const std::span<const std::uint32_t> labels =
            c.labelled ? std::span<const std::uint32_t>(corpus.labels) : std::span<const std::uint32_t>{};
        const auto expected = reference_layout(graph, labels, p);
        for (const std::size_t threads : {1u, 2u}) {
            ThreadCountScope scope(threads);
            const auto got = positions_of(fit_or_die(graph, labels, p));
            ASSERT_EQ(got.size(), expected.size());
            double worst = 0.0;
            for (std::size_t i = 0; i < got.size(); ++i) {
                for (int k = 0; k < 3; ++k) worst = std::max(worst, std::fabs(got[i][k] - expected[i][k]));
            }
            EXPECT_LT(worst, 1e-12) << c.name << ", " << threads << " threads";
        }
    }
}

TEST(UmapSphereProjection, CategoryTermsOnlyWithLabelsAndPositiveWeight) {
    const Corpus c = clustered(4, 30, 8, 9);
    const UmapGraph graph = graph_or_die(c.view(), 10);
    const auto unlabelled = positions_of(fit_or_die(graph, {}, short_run()));
    UmapFitParams no_weight = short_run();
    no_weight.category_weight = 0.0;
    // No category phase means no draws taken from the stream either: identical layouts.
    EXPECT_EQ(positions_of(fit_or_die(graph, c.labels, no_weight)), unlabelled);
    EXPECT_NE(positions_of(fit_or_die(graph, c.labels, short_run())), unlabelled);
    // One shared label: partners but never a differing label; the fit still runs.
    const std::vector<std::uint32_t> same(c.n, 7);
    const auto shared = positions_of(fit_or_die(graph, same, short_run()));
    EXPECT_NE(shared, unlabelled);
    // Singleton categories: no partner, only differing labels.
    std::vector<std::uint32_t> singletons(c.n);
    for (std::size_t i = 0; i < c.n; ++i) singletons[i] = static_cast<std::uint32_t>(1000 - i);
    EXPECT_NE(positions_of(fit_or_die(graph, singletons, short_run())), unlabelled);
}

TEST(UmapSphereProjection, WarmStartAnchorPullsTowardsTheStart) {
    const Corpus c = clustered(4, 30, 8, 12);
    const UmapGraph graph = graph_or_die(c.view(), 10);
    auto drift = [&](double anchor) {
        UmapFitParams p = short_run(60);
        p.warm_start_anchor = anchor;
        const auto positions = positions_of(fit_or_die(graph, c.labels, p));
        double total = 0.0;
        for (std::size_t i = 0; i < c.n; ++i) {
            total += geometry::angle_between(positions[i], graph.initial_positions()[i]);
        }
        return total / static_cast<double>(c.n);
    };
    EXPECT_LT(drift(50.0), drift(0.0));
}

TEST(UmapSphereProjection, PositionsStayOnTheUnitSphere) {
    const Corpus c = clustered(5, 40, 8, 30);
    const UmapGraph graph = graph_or_die(c.view(), 15);
    for (const double min_dist : {0.0, 0.1, 0.5}) {
        UmapFitParams p = short_run(60);
        p.min_dist = min_dist;
        const auto fitted = fit_or_die(graph, c.labels, p);
        ASSERT_EQ(fitted.size(), c.n);
        for (const Vec3& x : fitted.positions()) ASSERT_NEAR(norm3(x), 1.0, 1e-12) << min_dist;
    }
}

TEST(UmapSphereProjection, PreservesNeighboursOfSeparatedClusters) {
    const Corpus c = clustered(6, 100, 16, 2025);
    const UmapGraph graph = graph_or_die(c.view(), 15);
    const auto fitted = fit_or_die(graph, c.labels, UmapFitParams{});
    const auto pos = fitted.positions();

    // The quality figure recomputed by brute force from its definition.
    double sum = 0.0;
    double same_label = 0.0;
    for (std::size_t i = 0; i < c.n; ++i) {
        std::vector<std::pair<double, std::size_t>> by_dot;
        for (std::size_t j = 0; j < c.n; ++j) {
            if (j != i) by_dot.push_back({-geometry::dot(pos[i], pos[j]), j});
        }
        std::sort(by_dot.begin(), by_dot.end());
        const auto row = graph.neighbors(i);
        std::size_t hits = 0;
        for (std::size_t r = 0; r < row.size(); ++r) {
            hits += std::count(row.begin(), row.end(), static_cast<std::uint32_t>(by_dot[r].second));
            same_label += c.labels[by_dot[r].second] == c.labels[i] ? 1.0 : 0.0;
        }
        sum += static_cast<double>(hits) / static_cast<double>(row.size());
    }
    EXPECT_NEAR(fitted.neighbor_preservation(), sum / static_cast<double>(c.n), 1e-12);
    EXPECT_EQ(fitted.explained_variance_ratio(), fitted.neighbor_preservation());
    // Keeping clusters together but scrambling them inside would score about 15/99 ≈ 0.15.
    EXPECT_GT(fitted.neighbor_preservation(), 0.4);
    // And the layout neighbours are mostly of the same cluster (1/6 for a random layout).
    EXPECT_GT(same_label / (15.0 * static_cast<double>(c.n)), 0.9);
}

TEST(UmapSphereProjection, TrainingEmbeddingsProjectExactlyToTheirPositions) {
    Corpus c = clustered(3, 30, 8, 17);
    // A duplicate of row 4 at row 40: one lookup entry, the first index wins.
    std::copy_n(c.data.begin() + 4 * static_cast<std::ptrdiff_t>(c.d), c.d,
                c.data.begin() + 40 * static_cast<std::ptrdiff_t>(c.d));
    const UmapGraph graph = graph_or_die(c.view(), 10);
    const auto fitted = fit_or_die(graph, c.labels, short_run());
    for (std::size_t i = 0; i < c.n; ++i) {
        const std::size_t owner = i == 40 ? 4 : i;
        const UmapPlacement placed = fitted.project_xyz(c.row(i));
        EXPECT_EQ(placed.confidence, 1.0);
        EXPECT_EQ((Vec3{placed.x, placed.y, placed.z}), fitted.positions()[owner]) << i;
        const ProjectedPoint rich = fitted.project_rich(c.row(i));
        EXPECT_EQ(rich.certainty, 1.0);
        EXPECT_NEAR(geometry::angle_between(geometry::unit_direction(rich.position), fitted.positions()[owner]), 0.0,
                    1e-12);
    }
}

TEST(UmapSphereProjection, NewEmbeddingsLandNearTheirCluster) {
    const Corpus c = clustered(5, 60, 12, 44);
    const UmapGraph graph = graph_or_die(c.view(), 15);
    const auto fitted = fit_or_die(graph, c.labels, UmapFitParams{});
    std::vector<Vec3> mean(5, Vec3{0, 0, 0});
    for (std::size_t i = 0; i < c.n; ++i) {
        for (int k = 0; k < 3; ++k) mean[c.labels[i]][k] += fitted.positions()[i][k];
    }
    std::uint64_t state = 99;
    for (std::size_t g = 0; g < 5; ++g) {
        std::vector<double> query = c.centres[g];
        const auto noise = random::gaussian_vector(state, c.d);
        for (std::size_t j = 0; j < c.d; ++j) query[j] += 0.02 * noise[j];
        const UmapPlacement placed = fitted.project_xyz(query);
        EXPECT_GT(placed.confidence, 0.0);
        EXPECT_LE(placed.confidence, 1.0);
        const Vec3 p{placed.x, placed.y, placed.z};
        std::size_t nearest = 0;
        for (std::size_t h = 1; h < 5; ++h) {
            if (geometry::angle_between(p, mean[h]) < geometry::angle_between(p, mean[nearest])) nearest = h;
        }
        EXPECT_EQ(nearest, g);
    }
}

TEST(UmapSphereProjection, RichProjectionFollowsTheRadialRule) {
    const Corpus c = clustered(3, 20, 8, 5);
    const UmapGraph graph = graph_or_die(c.view(), 10);
    std::vector<double> query = c.centres[1];
    for (double& v : query) v *= 3.0;
    struct Case {
        RadialStrategy radial;
        double radius;
    };
    const double mag = magnitude(query);
    for (const Case rc : {Case{MagnitudeRadius{}, mag}, Case{FixedRadius{2.5}, 2.5}}) {
        const auto fitted = fit_or_die(graph, c.labels, short_run(), rc.radial);
        const UmapPlacement placed = fitted.project_xyz(query);
        const ProjectedPoint rich = fitted.project_rich(query);
        EXPECT_EQ(rich.position.r, rc.radius);
        EXPECT_EQ(rich.intensity, mag);
        EXPECT_EQ(rich.certainty, placed.confidence);
        EXPECT_DOUBLE_EQ(rich.projection_magnitude, norm3({placed.x, placed.y, placed.z}));
        const Vec3 dir = geometry::unit_direction(rich.position);
        EXPECT_NEAR(geometry::angle_between(dir, {placed.x, placed.y, placed.z}), 0.0, 1e-12);
        EXPECT_EQ(fitted.project(query), rich.position);
    }
    const auto fitted = fit_or_die(graph, c.labels, short_run());
    EXPECT_EQ(fitted.dimensionality(), 8u);
    const auto wrong = check_input_dimension(fitted, 3);
    ASSERT_TRUE(wrong.has_value());
    EXPECT_EQ(wrong->display(), "expected dimension 8, got 3");
    EXPECT_FALSE(check_input_dimension(fitted, 8).has_value());
}

TEST(UmapSphereProjection, LargeCorporaShareOneNeighbourIndex) {
    const Corpus c = clustered(8, 260, 10, 71);  // past the exact-search threshold
    ASSERT_GE(c.n, kApproximateNeighborsFrom);
    auto fit_with = [&](std::size_t threads) {
        ThreadCountScope scope(threads);
        const UmapGraph graph = graph_or_die(c.view(), 15);
        return std::make_pair(graph, fit_or_die(graph, c.labels, short_run(30)));
    };
    const auto [graph, fitted] = fit_with(1);
    ASSERT_NE(graph.neighbor_index(), nullptr);
    EXPECT_EQ(graph.neighbor_index()->size(), c.n);
    EXPECT_EQ(fitted.neighbor_index().get(), graph.neighbor_index().get());
    const UmapSphereProjection copy = fitted;
    EXPECT_EQ(copy.neighbor_index().get(), graph.neighbor_index().get());

    // The graph rows are the index's answers.
    for (std::size_t i = 0; i < c.n; i += 131) {
        const auto hits = graph.neighbor_index()->query_by_index(i, 15);
        const auto row = graph.neighbors(i);
        ASSERT_EQ(row.size(), hits.size());
        for (std::size_t r = 0; r < row.size(); ++r) EXPECT_EQ(row[r], hits[r].index);
    }

    const auto [graph2, fitted2] = fit_with(2);
    EXPECT_EQ(positions_of(fitted2), positions_of(fitted));
    EXPECT_EQ(fitted2.neighbor_preservation(), fitted.neighbor_preservation());
    EXPECT_GT(fitted.neighbor_preservation(), 0.2);

    // Queries go through the index, training points through the exact lookup.
    EXPECT_EQ(fitted.project_xyz(c.row(5)).confidence, 1.0);
    std::vector<double> query = c.centres[3];
    const UmapPlacement placed = fitted.project_xyz(query);
    EXPECT_GT(placed.confidence, 0.0);
}

}  // namespace
}  // namespace korvane::projection
