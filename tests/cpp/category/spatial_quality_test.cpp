#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "category/spatial_quality.hpp"
#include "fixtures.hpp"

namespace korvane::category {
namespace {

using geometry::SphericalPoint;
using testing::direction;
using testing::small_config;

constexpr double kTwoPi = 6.283185307179586;

TEST(BridgeThreshold, QuadraticInMissingVariance) {
    config::BridgeConfig b;
    b.threshold_base = 0.5;
    b.threshold_evr_penalty = 0.4;
    struct Case {
        double evr, expected;
    };
    for (const Case c : {Case{1.0, 0.5}, Case{0.0, 0.9}, Case{0.5, 0.6}, Case{0.75, 0.525}}) {
        SCOPED_TRACE(c.evr);
        EXPECT_NEAR(bridge_threshold(b, c.evr), c.expected, 1e-15);
    }
    EXPECT_EQ(bridge_threshold(b, 1.0), 0.5);
}

TEST(SpatialQuality, CapAreasAndSingleMemberCap) {
    const std::vector<SphericalPoint> centres = {direction(1, 0, 0), direction(-1, 0, 0)};
    const std::vector<double> spreads = {0.0, 0.5};
    const auto q = SpatialQuality::compute_with_config(centres, spreads, small_config(), 0.8);
    ASSERT_EQ(q.cap_areas.size(), 2u);
    EXPECT_EQ(q.cap_areas[0], 0.0);
    EXPECT_NEAR(q.cap_areas[1], kTwoPi * (1 - std::cos(0.5)), 1e-12);
    // A zero-width cap receives no sample and counts as fully exclusive.
    EXPECT_EQ(q.territorial_factors[0], 1.0);
    // The other cap is far from everything else.
    EXPECT_EQ(q.territorial_factors[1], 1.0);
    EXPECT_TRUE(q.overlaps.empty());
    EXPECT_EQ(q.evr, 0.8);
    EXPECT_NEAR(q.bridge_threshold, 0.5 + 0.4 * 0.2 * 0.2, 1e-15);
    ASSERT_EQ(q.bridge_quality_matrix.size(), 2u);
    for (const auto& row : q.bridge_quality_matrix) EXPECT_EQ(row, (std::vector<double>{0.0, 0.0}));
    ASSERT_EQ(q.voronoi_cells.size(), 2u);
    EXPECT_EQ(q.coverage.total_samples, 2000u);
}

TEST(SpatialQuality, IdenticalCapsOverlapByTheirAreaAndLoseTheirTerritory) {
    const std::vector<SphericalPoint> centres = {direction(0, 0, 1), direction(0, 0, 1), direction(0, 0, -1)};
    const std::vector<double> spreads = {0.6, 0.6, 0.3};
    const auto q = SpatialQuality::compute_with_config(centres, spreads, small_config(), 1.0);
    ASSERT_EQ(q.overlaps.size(), 1u);
    ASSERT_TRUE(q.overlaps.contains(IndexPair{0, 1}));
    EXPECT_NEAR(q.overlaps.at(IndexPair{0, 1}), kTwoPi * (1 - std::cos(0.6)), 1e-12);
    EXPECT_EQ(q.territorial_factors[0], 0.0);
    EXPECT_EQ(q.territorial_factors[1], 0.0);
    EXPECT_EQ(q.territorial_factors[2], 1.0);
}

TEST(SpatialQuality, PartialOverlapIsKeyedLowerIndexFirst) {
    // Caps of half-angle 0.5 whose centres are 0.6 apart share a lens; the small cap of index 0
    // lies far away.
    const std::vector<SphericalPoint> centres = {direction(-1, 0, 0), {1.0, 0.0, 1.2}, {1.0, 0.0, 0.6}};
    const std::vector<double> spreads = {0.1, 0.5, 0.5};
    const auto q = SpatialQuality::compute_with_config(centres, spreads, small_config(), 1.0);
    ASSERT_EQ(q.overlaps.size(), 1u);
    ASSERT_TRUE(q.overlaps.contains(IndexPair{1, 2}));
    const double lens = q.overlaps.at(IndexPair{1, 2});
    EXPECT_GT(lens, 0.0);
    EXPECT_LT(lens, kTwoPi * (1 - std::cos(0.5)));
    // Each of the two crossing caps keeps part of its area to itself.
    EXPECT_GT(q.territorial_factors[1], 0.2);
    EXPECT_LT(q.territorial_factors[1], 0.95);
}

TEST(SpatialQuality, NoCategories) {
    auto cfg = small_config();
    cfg.bridges.threshold_base = 0.3;
    cfg.bridges.threshold_evr_penalty = 1.0;
    const auto q = SpatialQuality::compute_with_config({}, {}, cfg, 0.5);
    EXPECT_TRUE(q.cap_areas.empty());
    EXPECT_TRUE(q.territorial_factors.empty());
    EXPECT_TRUE(q.voronoi_cells.empty());
    EXPECT_TRUE(q.overlaps.empty());
    EXPECT_TRUE(q.bridge_quality_matrix.empty());
    EXPECT_EQ(q.coverage, geometry::CoverageReport{});
    EXPECT_EQ(q.bridge_threshold, 0.55);
}

TEST(SpatialQuality, RepeatedComputationIsBitIdentical) {
    const std::vector<SphericalPoint> centres = {direction(1, 0.2, 0), direction(1, -0.1, 0.3), direction(0, 1, 1),
                                                 direction(-1, 0, 0.5)};
    const std::vector<double> spreads = {0.4, 0.35, 0.7, 0.2};
    const auto a = SpatialQuality::compute_with_config(centres, spreads, small_config(), 0.4);
    const auto b = SpatialQuality::compute_with_config(centres, spreads, small_config(), 0.4);
    EXPECT_EQ(a, b);
}

TEST(SpatialQuality, BridgeQualityMatrixScalesStrongestBridgeByTerritory) {
    const std::vector<SphericalPoint> centres = {direction(1, 0, 0), direction(0, 1, 0), direction(0, 0, 1)};
    auto q = SpatialQuality::compute_with_config(centres, std::vector<double>{0.1, 0.1, 0.1}, small_config(), 1.0);
    q.territorial_factors = {1.0, 0.25, 0.0};
    CategoryGraph g;
    g.adjacency.resize(3);
    auto edge = [](std::uint64_t target, double max_strength) {
        CategoryEdge e;
        e.target = target;
        e.max_bridge_strength = max_strength;
        return e;
    };
    g.adjacency[0] = {edge(1, 0.8), edge(2, 0.0)};
    g.adjacency[1] = {edge(2, 0.6), edge(0, 0.4)};
    g.adjacency[2] = {edge(0, 1.0), edge(1, 0.5)};
    q.set_bridge_quality_matrix(g);
    const std::vector<std::vector<double>> expected = {
        {0.0, std::sqrt(0.25) * 0.8, 0.0},
        {std::sqrt(0.25) * 0.4, 0.0, 0.05 * 0.6},
        {0.05 * 1.0, 0.05 * 0.5, 0.0},
    };
    ASSERT_EQ(q.bridge_quality_matrix.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(q.bridge_quality_matrix[i][j], expected[i][j], 1e-15) << i << j;
}

TEST(SpatialQualityDeathTest, MismatchedListsStop) {
    const std::vector<SphericalPoint> centres = {direction(1, 0, 0)};
    EXPECT_DEATH((void)SpatialQuality::compute_with_config(centres, std::vector<double>{}, small_config(), 1.0),
                 "centroids and half_angles must have matching length");
}

}  // namespace
}  // namespace korvane::category
