#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "common/parallel.hpp"
#include "common/random.hpp"
#include "projection/pca.hpp"

namespace korvane::projection {
namespace {

struct Corpus {
    std::vector<double> values;
    std::size_t n, d;
    RowsView rows() const { return RowsView{values.data(), n, d, nullptr}; }
};

Corpus clustered(std::size_t n, std::size_t d, std::uint64_t seed) {
    std::uint64_t state = seed;
    const auto centres = random::gaussian_vector(state, 4 * d);
    Corpus c{std::vector<double>(n * d), n, d};
    for (std::size_t i = 0; i < n; ++i) {
        const auto noise = random::gaussian_vector(state, d);
        for (std::size_t j = 0; j < d; ++j) c.values[i * d + j] = 3 * centres[(i % 4) * d + j] + 0.3 * noise[j];
    }
    return c;
}

TEST(PcaProjection, IntegerWeightsEqualDuplicatedRows) {
    // Weight w on a row is the same as w copies of it: same mean, same axes (up to sign) and
    // the same explained variance ratio (eigenvalues and total variance share the 1/n factor).
    const Corpus base = clustered(30, 6, 11);
    std::vector<double> weights(base.n);
    Corpus duplicated{{}, 0, base.d};
    for (std::size_t i = 0; i < base.n; ++i) {
        weights[i] = static_cast<double>(1 + i % 3);
        for (std::size_t k = 0; k < 1 + i % 3; ++k) {
            duplicated.values.insert(duplicated.values.end(), base.values.begin() + i * base.d,
                                     base.values.begin() + (i + 1) * base.d);
            ++duplicated.n;
        }
    }
    const auto weighted = PcaProjection::fit_weighted(base.rows(), weights, MagnitudeRadius{});
    const auto plain = PcaProjection::fit(duplicated.rows(), MagnitudeRadius{});
    ASSERT_TRUE(weighted.ok() && plain.ok());
    EXPECT_NEAR(weighted->explained_variance_ratio(), plain->explained_variance_ratio(), 1e-9);
    for (std::size_t j = 0; j < base.d; ++j) EXPECT_NEAR(weighted->mean()[j], plain->mean()[j], 1e-12);
    for (int k = 0; k < 3; ++k) {
        double cosine = 0.0;
        for (std::size_t j = 0; j < base.d; ++j) cosine += weighted->components()[k][j] * plain->components()[k][j];
        EXPECT_NEAR(std::fabs(cosine), 1.0, 1e-6) << "component " << k;
    }
}

TEST(PcaProjection, NonPositiveWeightsFallBackToThePlainFit) {
    const Corpus c = clustered(40, 5, 3);
    const std::vector<double> weights(c.n, 0.0);
    std::vector<double> negative(c.n, -2.0);
    negative[0] = std::nan("");
    const auto plain = PcaProjection::fit(c.rows(), MagnitudeRadius{});
    for (const std::vector<double>* w : std::array<const std::vector<double>*, 2>{&weights, &negative}) {
        const auto fitted = PcaProjection::fit_weighted(c.rows(), *w, MagnitudeRadius{});
        ASSERT_TRUE(fitted.ok());
        EXPECT_EQ(fitted->components(), plain->components());
        EXPECT_EQ(fitted->eigenvalues(), plain->eigenvalues());
    }
}

TEST(PcaProjection, WeightCountMismatchIsReportedFirst) {
    const std::vector<double> weights{1.0, 1.0};
    const std::vector<double> values{1, 0, 0, 0, 1, 0, 0, 0, 1};
    const auto fitted = PcaProjection::fit_weighted(RowsView{values.data(), 3, 3, nullptr}, weights, MagnitudeRadius{});
    ASSERT_FALSE(fitted.ok());
    EXPECT_EQ(display(fitted.error()), "auxiliary slice has length 2, expected 3");
}

TEST(PcaProjection, ThreadCountDoesNotChangeAnyBit) {
    // Both product forms: the Gram matrix (d <= n) and streamed rows (d > n), each large enough
    // to run on the pool.
    for (const auto& [n, d] : {std::pair<std::size_t, std::size_t>{3000, 48}, {120, 1000}}) {
        const Corpus c = clustered(n, d, 5);
        std::vector<double> weights(c.n);
        for (std::size_t i = 0; i < c.n; ++i) weights[i] = 1.0 / std::sqrt(1.0 + static_cast<double>(i % 7));
        parallel::set_thread_count(1);
        const auto one = PcaProjection::fit_weighted(c.rows(), weights, MagnitudeRadius{});
        parallel::set_thread_count(2);
        const auto two = PcaProjection::fit_weighted(c.rows(), weights, MagnitudeRadius{});
        parallel::set_thread_count(0);
        ASSERT_TRUE(one.ok() && two.ok());
        EXPECT_EQ(one->components(), two->components()) << n << "x" << d;
        EXPECT_EQ(one->eigenvalues(), two->eigenvalues());
        EXPECT_EQ(one->mean(), two->mean());
        EXPECT_EQ(one->total_variance(), two->total_variance());
    }
}

TEST(PcaProjection, GramAndStreamedProductsAgree) {
    // fit() builds the Gram matrix when d <= n; top_k_eigenvectors streams explicit rows.
    const Corpus c = clustered(200, 10, 21);
    std::vector<double> centred(c.values.size());
    std::vector<double> mean(c.d, 0.0);
    for (std::size_t i = 0; i < c.n; ++i) {
        const auto u = normalized(std::span<const double>(c.values).subspan(i * c.d, c.d));
        for (std::size_t j = 0; j < c.d; ++j) {
            centred[i * c.d + j] = u[j];
            mean[j] += u[j] / static_cast<double>(c.n);
        }
    }
    for (std::size_t i = 0; i < c.n; ++i)
        for (std::size_t j = 0; j < c.d; ++j) centred[i * c.d + j] -= mean[j];
    const Eigen3 streamed = top_k_eigenvectors(centred, c.n, c.d);
    const auto fitted = PcaProjection::fit(c.rows(), MagnitudeRadius{});
    ASSERT_TRUE(fitted.ok());
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(fitted->eigenvalues()[k], streamed.values[k], 1e-9 * streamed.values[0]);
        double cosine = 0.0;
        for (std::size_t j = 0; j < c.d; ++j) cosine += fitted->components()[k][j] * streamed.vectors[k][j];
        EXPECT_NEAR(std::fabs(cosine), 1.0, 1e-6) << "component " << k;
    }
}

TEST(TopKEigenvectors, DiagonalCovariance) {
    // Rows ±a·e_j give a diagonal covariance with eigenvalues a² in decreasing order of a.
    const std::size_t d = 5;
    const double scales[d] = {0.5, 3.0, 1.0, 2.0, 0.1};
    std::vector<double> rows;
    for (std::size_t j = 0; j < d; ++j)
        for (double sign : {1.0, -1.0}) {
            std::vector<double> row(d, 0.0);
            row[j] = sign * scales[j];
            rows.insert(rows.end(), row.begin(), row.end());
        }
    const Eigen3 e = top_k_eigenvectors(rows, 2 * d, d);
    const std::size_t expected_axis[3] = {1, 3, 2};
    for (int k = 0; k < 3; ++k) {
        const double s = scales[expected_axis[k]];
        EXPECT_NEAR(e.values[k], s * s / 5.0, 1e-9);  // the iteration stops at 1 - cos < 1e-10
        EXPECT_NEAR(std::fabs(e.vectors[k][expected_axis[k]]), 1.0, 1e-9);
    }
}

}  // namespace
}  // namespace korvane::projection
