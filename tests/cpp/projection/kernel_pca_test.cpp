#include "projection/kernel_pca.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "common/parallel.hpp"
#include "common/random.hpp"
#include "geometry/conversions.hpp"
#include "dense_eigen.hpp"

namespace korvane::projection {
namespace {

using testing::DenseEigen;
using testing::jacobi;

constexpr double kInvSqrt2 = 0.7071067811865476;

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

Corpus random_corpus(std::size_t n, std::size_t d, std::uint64_t seed) {
    std::uint64_t state = seed;
    return {random::gaussian_vector(state, n * d), n, d};
}

// Points scattered around a few centres; `sizes` gives the points per cluster.
Corpus clustered_corpus(const std::vector<std::size_t>& sizes, std::size_t d, double spread, std::uint64_t seed) {
    std::uint64_t state = seed;
    Corpus c{{}, 0, d};
    for (std::size_t size : sizes) {
        const std::vector<double> centre = random::gaussian_vector(state, d);
        for (std::size_t p = 0; p < size; ++p) {
            const std::vector<double> noise = random::gaussian_vector(state, d);
            for (std::size_t k = 0; k < d; ++k) c.data.push_back(centre[k] + spread * noise[k]);
            ++c.n;
        }
    }
    return c;
}

// Unit vectors on the great circle through e1 and e2 (padded to three axes), whose pairwise
// chord lengths are 2·sin(Δangle / 2).
Corpus circle_points(const std::vector<double>& angles) {
    Corpus c{{}, angles.size(), 3};
    for (double a : angles) c.data.insert(c.data.end(), {std::cos(a), std::sin(a), 0.0});
    return c;
}

double distance(std::span<const double> a, std::span<const double> b) {
    double s = 0.0;
    for (std::size_t k = 0; k < a.size(); ++k) s += (a[k] - b[k]) * (a[k] - b[k]);
    return std::sqrt(s);
}

std::string fit_error(const RowsView& rows, std::optional<double> sigma) {
    auto fit = sigma ? KernelPcaProjection::fit_with_sigma(rows, *sigma, MagnitudeRadius{})
                     : KernelPcaProjection::fit(rows, MagnitudeRadius{});
    return fit.ok() ? std::string("fit succeeded") : display(fit.error());
}

// Eigen-decomposition of a dense symmetric matrix by cyclic Jacobi rotations, values descending;
// vectors[k] belongs to values[k].
// The textbook construction, written out densely: unit rows, K, its row means and mean, Kc.
struct DenseKernel {
    std::vector<std::vector<double>> unit;
    std::vector<double> k, row_means, centred;
    double mean = 0.0;
};

DenseKernel dense_kernel(const Corpus& c, double sigma) {
    DenseKernel out;
    const std::size_t n = c.n;
    for (std::size_t i = 0; i < n; ++i) out.unit.push_back(normalized(c.row(i)));
    out.k.resize(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double dist = distance(out.unit[i], out.unit[j]);
            out.k[i * n + j] = std::exp(-dist * dist / (2.0 * sigma * sigma));
        }
    }
    out.row_means.assign(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) out.row_means[i] += out.k[i * n + j] / static_cast<double>(n);
        out.mean += out.row_means[i] / static_cast<double>(n);
    }
    out.centred.resize(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            out.centred[i * n + j] = out.k[i * n + j] - out.row_means[i] - out.row_means[j] + out.mean;
        }
    }
    return out;
}

geometry::CartesianPoint volumetric_xyz(const KernelPcaProjection& fitted, std::span<const double> e) {
    KernelPcaProjection copy = fitted;
    copy.set_volumetric(true);
    return geometry::spherical_to_cartesian(copy.project(e));
}

struct ThreadCountScope {
    explicit ThreadCountScope(std::size_t n) { parallel::set_thread_count(n); }
    ~ThreadCountScope() { parallel::set_thread_count(0); }
};

std::vector<log::Event>& captured_events() {
    static std::vector<log::Event> events;
    return events;
}

struct CaptureLog {
    CaptureLog() {
        captured_events().clear();
        log::set_sink([](log::Event&& e) { captured_events().push_back(std::move(e)); });
    }
    ~CaptureLog() { log::set_sink(nullptr); }
};

// --- validation ---------------------------------------------------------------------------

TEST(KernelPcaErrors, ReportsTheFirstFailingCheckWithItsMessage) {
    RaggedCorpus ragged;
    ragged.add({1, 0, 0});
    ragged.add({0, 1, 0, 0});
    const Corpus flat{{1, 0, 0, 1}, 2, 2};
    const Corpus good = random_corpus(5, 3, 1);
    const RowsView empty{};
    struct Case {
        const char* name;
        RowsView rows;
        std::optional<double> sigma;
        std::string message;
    };
    const Case cases[] = {
        {"empty", empty, std::nullopt, "need at least one embedding to fit a projection"},
        {"too low", flat.view(), std::nullopt, "embedding dimension 2 is below the minimum 3 for this projection"},
        {"ragged", ragged.view(), std::nullopt, "embedding 1 has dimension 4, expected 3"},
        {"ragged, given sigma", ragged.view(), 1.0, "embedding 1 has dimension 4, expected 3"},
        {"sigma zero", good.view(), 0.0, "kernel bandwidth σ must be positive, got 0"},
        {"sigma negative", good.view(), -1.0, "kernel bandwidth σ must be positive, got -1"},
        {"sigma NaN", good.view(), std::nan(""), "kernel bandwidth σ must be positive, got NaN"},
        {"sigma before corpus", empty, -0.25, "kernel bandwidth σ must be positive, got -0.25"},
    };
    for (const Case& c : cases) EXPECT_EQ(fit_error(c.rows, c.sigma), c.message) << c.name;
}

TEST(KernelPcaErrors, WrongQueryLengthIsReportedByTheContractCheck) {
    auto fit = KernelPcaProjection::fit(random_corpus(6, 3, 2).view(), MagnitudeRadius{});
    ASSERT_TRUE(fit.ok());
    EXPECT_FALSE(check_input_dimension(*fit, 3).has_value());
    const auto wrong = check_input_dimension(*fit, 4);
    ASSERT_TRUE(wrong.has_value());
    EXPECT_EQ(wrong->display(), "expected dimension 3, got 4");
}

TEST(KernelPcaWarning, FiresOnceFromTwoThousandEmbeddingsOn) {
    // Row 1 is malformed so the fit stops right after the warning, which precedes that check.
    for (std::size_t n : {std::size_t{1999}, std::size_t{2000}}) {
        for (bool given_sigma : {false, true}) {
            RaggedCorpus rows;
            for (std::size_t i = 0; i < n; ++i) rows.add(i == 1 ? std::vector<double>{1, 2, 3, 4} : std::vector<double>{1, 2, 3});
            CaptureLog capture;
            auto fit = given_sigma ? KernelPcaProjection::fit_with_sigma(rows.view(), 1.0, MagnitudeRadius{})
                                   : KernelPcaProjection::fit(rows.view(), MagnitudeRadius{});
            ASSERT_FALSE(fit.ok());
            EXPECT_TRUE(std::holds_alternative<InconsistentDimension>(fit.error()));
            const auto& events = captured_events();
            if (n < 2000) {
                EXPECT_TRUE(events.empty()) << n;
                continue;
            }
            ASSERT_EQ(events.size(), 1u);
            const log::Event& e = events[0];
            EXPECT_EQ(e.target, "korvane_embed::kernel_pca");
            EXPECT_EQ(e.level, log::Level::Warn);
            EXPECT_EQ(e.message,
                      "KernelPcaProjection::fit: O(n²·d) cost, expect minutes-to-hours. Consider PCA or downsampling.");
            ASSERT_EQ(e.fields.size(), 2u);
            EXPECT_EQ(e.fields[0].name, "n");
            EXPECT_EQ(std::get<std::uint64_t>(e.fields[0].value), 2000u);
            EXPECT_EQ(e.fields[1].name, "dim");
            EXPECT_EQ(std::get<std::uint64_t>(e.fields[1].value), 3u);
        }
    }
}

// --- bandwidth ----------------------------------------------------------------------------

TEST(KernelPcaBandwidth, GivenSigmaIsKeptAndSetsGamma) {
    auto fit = KernelPcaProjection::fit_with_sigma(random_corpus(5, 4, 3).view(), 0.5, MagnitudeRadius{});
    ASSERT_TRUE(fit.ok());
    EXPECT_EQ(fit->sigma(), 0.5);
    EXPECT_EQ(fit->gamma(), 2.0);
}

TEST(KernelPcaBandwidth, MedianOfTheChordLengthsOnACircle) {
    struct Case {
        const char* name;
        std::vector<double> angles;
        double median_gap;  // angle gap of the pair at position ⌊count/2⌋ in ascending order
    };
    const Case cases[] = {
        // Gaps 0.5, 1.5, 1.0: the middle one.
        {"three points", {0.0, 0.5, 1.5}, 1.0},
        // Gaps 0.3, 1.0, 2.2, 0.7, 1.9, 1.2 sorted: 0.3 0.7 1.0 1.2 1.9 2.2; the 4th smallest.
        {"four points", {0.0, 0.3, 1.0, 2.2}, 1.2},
    };
    for (const Case& c : cases) {
        auto fit = KernelPcaProjection::fit(circle_points(c.angles).view(), MagnitudeRadius{});
        ASSERT_TRUE(fit.ok()) << c.name;
        EXPECT_NEAR(fit->sigma(), 2.0 * std::sin(c.median_gap / 2.0) * kInvSqrt2, 1e-12) << c.name;
    }
}

// The heuristic restated: all pairs up to 100 points, else the seeded sample of 5000 pairs.
double expected_bandwidth(const Corpus& c, bool sampled) {
    std::vector<std::vector<double>> unit;
    for (std::size_t i = 0; i < c.n; ++i) unit.push_back(normalized(c.row(i)));
    std::vector<double> d;
    if (!sampled) {
        for (std::size_t i = 0; i < c.n; ++i)
            for (std::size_t j = i + 1; j < c.n; ++j) d.push_back(distance(unit[i], unit[j]));
    } else {
        std::uint64_t state = 0xCAFEBABE;
        for (int s = 0; s < 5000; ++s) {
            const std::size_t i = random::splitmix64_next_u64(state) % c.n;
            std::size_t j = random::splitmix64_next_u64(state) % c.n;
            if (j == i) j = (i + 1 == c.n) ? 0 : i + 1;
            d.push_back(distance(unit[i], unit[j]));
        }
    }
    std::sort(d.begin(), d.end());
    return std::max(d[d.size() / 2] * kInvSqrt2, 1e-8);
}

TEST(KernelPcaBandwidth, AllPairsUpToOneHundredPointsThenSampledPairs) {
    for (std::size_t n : {std::size_t{2}, std::size_t{100}, std::size_t{101}, std::size_t{150}}) {
        const Corpus c = random_corpus(n, 4, 40 + n);
        auto fit = KernelPcaProjection::fit(c.view(), MagnitudeRadius{});
        ASSERT_TRUE(fit.ok());
        EXPECT_DOUBLE_EQ(fit->sigma(), expected_bandwidth(c, n > 100)) << n;
        if (n > 100) {
            EXPECT_NE(fit->sigma(), expected_bandwidth(c, false)) << "rules indistinguishable at " << n;
        }
    }
}

// --- degenerate corpora -------------------------------------------------------------------

TEST(KernelPcaDegenerate, IdenticalPointsHaveNoVarianceAndLandAtTheAxis) {
    const Corpus c{{0.3, -1.2, 2.0, 0.3, -1.2, 2.0, 0.3, -1.2, 2.0, 0.3, -1.2, 2.0}, 4, 3};
    auto fit = KernelPcaProjection::fit(c.view(), MagnitudeRadius{});
    ASSERT_TRUE(fit.ok());
    EXPECT_EQ(fit->sigma(), 1e-8);
    EXPECT_EQ(fit->total_kernel_variance(), 0.0);
    EXPECT_EQ(fit->kernel_mean(), 1.0);
    EXPECT_EQ(fit->explained_variance_ratio(), 1.0);
    for (double lambda : fit->eigenvalues()) EXPECT_EQ(lambda, 0.0);
    for (const auto& alpha : fit->coefficients()) EXPECT_EQ(alpha, std::vector<double>(4, 0.0));
    const ProjectedPoint p = fit->project_rich(c.row(0));
    EXPECT_EQ(p.position, (geometry::SphericalPoint{magnitude(c.row(0)), 0.0, 0.0}));
    EXPECT_EQ(p.certainty, 0.0);
    EXPECT_EQ(p.projection_magnitude, 0.0);
}

TEST(KernelPcaDegenerate, SingleEmbeddingFitsWithUnitBandwidth) {
    const Corpus c{{1.0, 2.0, 2.0}, 1, 3};
    auto fit = KernelPcaProjection::fit(c.view(), FixedRadius{2.5});
    ASSERT_TRUE(fit.ok());
    EXPECT_EQ(fit->sigma(), 1.0);
    EXPECT_EQ(fit->num_training_points(), 1u);
    EXPECT_EQ(fit->explained_variance_ratio(), 1.0);
    for (double lambda : fit->eigenvalues()) EXPECT_EQ(lambda, 0.0);
    const std::vector<double> query{-4.0, 0.5, 1.0};
    EXPECT_EQ(fit->project(query), (geometry::SphericalPoint{2.5, 0.0, 0.0}));
}

// --- spectrum, cross-checked against a dense solver ---------------------------------------

TEST(KernelPcaSpectrum, MatchesADenseEigensolverOfTheCentredKernel) {
    const Corpus c = clustered_corpus({12, 8, 6, 4}, 5, 0.15, 8);
    const double sigma = 0.8;
    auto fit = KernelPcaProjection::fit_with_sigma(c.view(), sigma, MagnitudeRadius{});
    ASSERT_TRUE(fit.ok());
    const std::size_t n = c.n;
    const DenseKernel dense = dense_kernel(c, sigma);
    const DenseEigen eig = jacobi(dense.centred, n);
    // Power iteration needs clear gaps to converge; make sure this corpus has them.
    ASSERT_LT(eig.values[1] / eig.values[0], 0.6);
    ASSERT_LT(eig.values[2] / eig.values[1], 0.6);
    ASSERT_LT(eig.values[3] / eig.values[2], 0.6);

    double trace = 0.0;
    for (std::size_t i = 0; i < n; ++i) trace += dense.centred[i * n + i];
    EXPECT_NEAR(fit->kernel_mean(), dense.mean, 1e-12);
    EXPECT_NEAR(fit->total_kernel_variance(), trace / static_cast<double>(n), 1e-12);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(fit->row_means()[i], dense.row_means[i], 1e-12);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(fit->eigenvalues()[k], eig.values[k], 1e-9 * eig.values[0]) << k;
    EXPECT_NEAR(fit->explained_variance_ratio(), (eig.values[0] + eig.values[1] + eig.values[2]) / trace, 1e-10);

    // A training point's query similarities are its own centred kernel row, so its coordinate
    // on component k is sqrt(λ_k)·v_k[i] (up to the sign of v_k).
    std::array<double, 3> sign{};
    for (std::size_t i = 0; i < n; ++i) {
        const geometry::CartesianPoint p = volumetric_xyz(*fit, c.row(i));
        const double got[3] = {p.x, p.y, p.z};
        for (std::size_t k = 0; k < 3; ++k) {
            const double want = std::sqrt(eig.values[k]) * eig.vectors[k][i];
            if (sign[k] == 0.0 && std::fabs(want) > 0.05) sign[k] = got[k] * want > 0 ? 1.0 : -1.0;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        const geometry::CartesianPoint p = volumetric_xyz(*fit, c.row(i));
        const double got[3] = {p.x, p.y, p.z};
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(got[k], sign[k] * std::sqrt(eig.values[k]) * eig.vectors[k][i], 1e-5) << i << "," << k;
        }
    }

    // Out of sample: centre the query's kernel row against the training statistics.
    const std::vector<double> query{0.4, -0.1, 0.9, 0.3, -0.6};
    const std::vector<double> u = normalized(query);
    std::vector<double> kq(n);
    double kq_mean = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dist = distance(u, dense.unit[i]);
        kq[i] = std::exp(-dist * dist / (2.0 * sigma * sigma));
        kq_mean += kq[i] / static_cast<double>(n);
    }
    double want[3] = {0, 0, 0};
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t i = 0; i < n; ++i) {
            want[k] += eig.vectors[k][i] / std::sqrt(eig.values[k]) * (kq[i] - kq_mean - dense.row_means[i] + dense.mean);
        }
        want[k] *= sign[k];
    }
    const KernelCoordinates got = fit->kernel_project(u);
    EXPECT_NEAR(got.x, want[0], 1e-5);
    EXPECT_NEAR(got.y, want[1], 1e-5);
    EXPECT_NEAR(got.z, want[2], 1e-5);
    EXPECT_NEAR(got.feature_distance_sq, 1.0 - 2.0 * kq_mean + dense.mean, 1e-12);
    const ProjectedPoint rich = fit->project_rich(query);
    const double g = want[0] * want[0] + want[1] * want[1] + want[2] * want[2];
    EXPECT_NEAR(rich.certainty, std::min(g / got.feature_distance_sq, 1.0), 1e-5);
    EXPECT_NEAR(rich.projection_magnitude, std::sqrt(g), 1e-5);
    EXPECT_DOUBLE_EQ(rich.intensity, magnitude(query));
}

// Large enough that the kernel is split into several row chunks: every statistic must still be
// that of the dense matrix, and each eigenvalue the Rayleigh quotient of its returned vector.
TEST(KernelPcaSpectrum, ChunkedCorpusAgreesWithDenseProducts) {
    const Corpus c = clustered_corpus({110, 80, 60, 50}, 6, 0.2, 4);
    const std::size_t n = c.n;
    auto fit = KernelPcaProjection::fit(c.view(), MagnitudeRadius{});
    ASSERT_TRUE(fit.ok());
    const DenseKernel dense = dense_kernel(c, fit->sigma());
    EXPECT_NEAR(fit->kernel_mean(), dense.mean, 1e-12);
    for (std::size_t i = 0; i < n; ++i) EXPECT_NEAR(fit->row_means()[i], dense.row_means[i], 1e-12) << i;
    double trace = 0.0;
    for (std::size_t i = 0; i < n; ++i) trace += dense.centred[i * n + i];
    EXPECT_NEAR(fit->total_kernel_variance() * static_cast<double>(n), trace, 1e-9);

    std::array<std::vector<double>, 3> v;
    for (std::size_t k = 0; k < 3; ++k) {
        const double lambda = fit->eigenvalues()[k];
        ASSERT_GT(lambda, 1e-6);
        for (double a : fit->coefficients()[k]) v[k].push_back(a * std::sqrt(lambda));
        std::vector<double> kv(n, 0.0);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) kv[i] += dense.centred[i * n + j] * v[k][j];
        double rayleigh = 0.0, residual = 0.0;
        for (std::size_t i = 0; i < n; ++i) rayleigh += v[k][i] * kv[i];
        for (std::size_t i = 0; i < n; ++i) residual += (kv[i] - lambda * v[k][i]) * (kv[i] - lambda * v[k][i]);
        EXPECT_NEAR(lambda, rayleigh, 1e-10 * lambda) << k;
        EXPECT_LT(std::sqrt(residual), 1e-3 * lambda) << k;
    }
    for (std::size_t a = 0; a < 3; ++a) {
        for (std::size_t b = 0; b <= a; ++b) {
            double dot = 0.0;
            for (std::size_t i = 0; i < n; ++i) dot += v[a][i] * v[b][i];
            EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, 1e-9) << a << "," << b;
        }
    }
}

TEST(KernelPcaSpectrum, TrainingPointsOfSeparatedClustersAreAlmostFullyCaptured) {
    const Corpus c = clustered_corpus({10, 10, 10}, 8, 0.02, 11);
    auto fit = KernelPcaProjection::fit_with_sigma(c.view(), 0.5, MagnitudeRadius{});
    ASSERT_TRUE(fit.ok());
    for (std::size_t i = 0; i < c.n; ++i) EXPECT_GT(fit->project_rich(c.row(i)).certainty, 0.95) << i;
}

// --- placement ----------------------------------------------------------------------------

TEST(KernelPcaPlacement, MagnitudeOnlyChangesTheRadius) {
    const Corpus c = clustered_corpus({6, 5, 4}, 4, 0.3, 5);
    const std::vector<double> e{0.2, -0.7, 0.4, 0.1};
    std::vector<double> e5 = e;
    for (double& x : e5) x *= 5.0;
    auto by_magnitude = KernelPcaProjection::fit(c.view(), MagnitudeRadius{});
    auto fixed = KernelPcaProjection::fit(c.view(), FixedRadius{1.0});
    ASSERT_TRUE(by_magnitude.ok() && fixed.ok());

    const ProjectedPoint a = by_magnitude->project_rich(e), b = by_magnitude->project_rich(e5);
    EXPECT_NEAR(a.position.theta, b.position.theta, 1e-12);
    EXPECT_NEAR(a.position.phi, b.position.phi, 1e-12);
    EXPECT_DOUBLE_EQ(a.position.r, magnitude(e));
    EXPECT_DOUBLE_EQ(b.position.r, 5.0 * magnitude(e));
    EXPECT_DOUBLE_EQ(b.intensity, 5.0 * magnitude(e));
    EXPECT_GT(a.projection_magnitude, 0.0);
    EXPECT_EQ(fixed->project(e).r, 1.0);
    EXPECT_EQ(fixed->project(e5).r, 1.0);

    // The zero embedding is placed like the first basis vector, at radius 0.
    const ProjectedPoint zero = by_magnitude->project_rich(std::vector<double>(4, 0.0));
    EXPECT_EQ(zero.position.r, 0.0);
    EXPECT_EQ(zero.intensity, 0.0);
}

TEST(KernelPcaPlacement, VolumetricRadiusIsTheProjectionLength) {
    const Corpus c = clustered_corpus({6, 5, 4}, 4, 0.3, 5);
    auto fit = KernelPcaProjection::fit(c.view(), FixedRadius{7.0});
    ASSERT_TRUE(fit.ok());
    KernelPcaProjection volumetric = *fit;
    volumetric.set_volumetric(true);
    EXPECT_FALSE(fit->volumetric());
    for (std::size_t i = 0; i < c.n; ++i) {
        const ProjectedPoint flat = fit->project_rich(c.row(i)), deep = volumetric.project_rich(c.row(i));
        EXPECT_EQ(flat.position.r, 7.0);
        EXPECT_DOUBLE_EQ(deep.position.r, deep.projection_magnitude);
        EXPECT_NEAR(deep.position.theta, flat.position.theta, 1e-12);
        EXPECT_NEAR(deep.position.phi, flat.position.phi, 1e-12);
    }
}

// --- determinism --------------------------------------------------------------------------

void expect_identical(const KernelPcaProjection& a, const KernelPcaProjection& b, const Corpus& c) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a.sigma()), std::bit_cast<std::uint64_t>(b.sigma()));
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(a.eigenvalues()[k]), std::bit_cast<std::uint64_t>(b.eigenvalues()[k]));
        EXPECT_EQ(a.coefficients()[k], b.coefficients()[k]);  // exact element-wise equality
    }
    EXPECT_EQ(a.row_means(), b.row_means());
    EXPECT_EQ(a.total_kernel_variance(), b.total_kernel_variance());
    for (std::size_t i = 0; i < c.n; i += 7) EXPECT_EQ(a.project(c.row(i)), b.project(c.row(i)));
}

TEST(KernelPcaDeterminism, RepeatedFitsAreBitIdentical) {
    const Corpus c = random_corpus(150, 6, 21);
    auto a = KernelPcaProjection::fit(c.view(), MagnitudeRadius{});
    auto b = KernelPcaProjection::fit(c.view(), MagnitudeRadius{});
    ASSERT_TRUE(a.ok() && b.ok());
    expect_identical(*a, *b, c);
}

TEST(KernelPcaDeterminism, ThreadCountDoesNotChangeTheFit) {
    // Large enough for the kernel build and products to be split across the pool.
    const Corpus c = random_corpus(700, 10, 22);
    std::optional<KernelPcaProjection> one, two;
    {
        ThreadCountScope threads(1);
        auto fit = KernelPcaProjection::fit(c.view(), MagnitudeRadius{});
        ASSERT_TRUE(fit.ok());
        one = *fit;
    }
    {
        ThreadCountScope threads(2);
        auto fit = KernelPcaProjection::fit(c.view(), MagnitudeRadius{});
        ASSERT_TRUE(fit.ok());
        two = *fit;
    }
    expect_identical(*one, *two, c);
}

}  // namespace
}  // namespace korvane::projection
