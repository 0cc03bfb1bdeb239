#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "pipeline/globs.hpp"
#include "pipeline/manifold.hpp"

namespace korvane::pipeline {
namespace {

std::vector<std::string> ids_for(std::size_t n) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < n; ++i) ids.push_back("s-" + std::to_string(i));
    return ids;
}

// Two tight groups around +x and -x, spread by a small angle in the x-y plane.
std::vector<Point3> opposite_groups(double spread) {
    std::vector<Point3> points;
    for (double sign : {1.0, -1.0})
        for (int i = -10; i <= 10; ++i) points.push_back({sign * std::cos(i * spread), std::sin(i * spread), 0.0});
    return points;
}

TEST(Globs, TwoOppositeGroups) {
    // Groups large enough that splitting them never pays: a singleton cluster scores a perfect
    // silhouette by definition, so tiny groups would favour one cluster per point.
    const auto points = opposite_groups(0.001);
    const auto ids = ids_for(points.size());
    const GlobResult r = GlobResult::detect(points, ids, std::nullopt, 10);
    EXPECT_EQ(r.k, 2u);
    EXPECT_GT(r.silhouette, 0.99);
    ASSERT_EQ(r.globs.size(), 2u);
    EXPECT_NEAR(r.globs[0].centroid[0], 1.0, 1e-12);
    EXPECT_NEAR(r.globs[1].centroid[0], -1.0, 1e-12);
    for (const auto& g : r.globs) EXPECT_NEAR(g.radius, 0.01, 1e-9);  // the outermost member's angle
    EXPECT_EQ(r.globs[0].member_ids.size(), 21u);
    EXPECT_EQ(r.globs[0].member_ids.front(), "s-0");
    EXPECT_EQ(r.globs[1].member_ids.front(), "s-21");
}

TEST(Globs, ExplicitCountIsRaisedToTwoAndCapped) {
    std::vector<Point3> points;
    for (int i = 0; i < 12; ++i) points.push_back({std::cos(i * 0.5), std::sin(i * 0.5), 0.1 * i});
    const auto ids = ids_for(points.size());
    const struct {
        std::optional<std::size_t> k;
        std::size_t max_k, expected;
    } cases[] = {{1, 10, 2}, {0, 10, 2}, {15, 10, 10}, {5, 10, 5}, {20, 30, 12}};
    for (const auto& c : cases) EXPECT_EQ(GlobResult::detect(points, ids, c.k, c.max_k).k, c.expected);
    EXPECT_LE(GlobResult::detect(std::span(points).first(4), ids, std::nullopt, 10).k, 4u);
}

TEST(Globs, EmptyClustersLeaveGapsInGlobIds) {
    // Initial centres are points 0, 1 and 2 (x, x, z): cluster 1 ties with cluster 0 everywhere
    // and the lower number wins, so it never gets a member.
    const std::vector<Point3> points{{1, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, 0, 1}};
    const auto ids = ids_for(points.size());
    const GlobResult r = GlobResult::detect(points, ids, 3, 10);
    ASSERT_EQ(r.globs.size(), 2u);
    EXPECT_EQ(r.globs[0].id, 0u);
    EXPECT_EQ(r.globs[1].id, 2u);
}

TEST(Globs, DegenerateInputs) {
    const std::vector<Point3> one{{0, 0, 2}};
    const GlobResult single = GlobResult::detect(one, ids_for(1), std::nullopt, 10);
    EXPECT_EQ(single.k, 2u);
    EXPECT_TRUE(std::isinf(single.silhouette) && single.silhouette < 0);
    ASSERT_EQ(single.globs.size(), 1u);
    EXPECT_EQ(single.globs[0].member_ids, (std::vector<std::string>{"s-0"}));
    EXPECT_TRUE(GlobResult::detect({}, {}, std::nullopt, 10).globs.empty());
    EXPECT_EQ(point_angle({0, 0, 0}, {1, 0, 0}), 0.0);
    EXPECT_NEAR(point_angle({2, 0, 0}, {0, 3, 0}), M_PI / 2, 1e-15);
}

TEST(Manifold, PointsInAPlane) {
    // The plane z = 0.5·x + 1 tilted about y; its normal is (−0.5, 0, 1)/|…|.
    std::vector<Point3> points;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j) points.push_back({double(i), double(j) * 0.7, 0.5 * i + 1});
    const SlicingManifold m = fit_manifold(points);
    EXPECT_NEAR(m.variance_ratio, 1.0, 1e-12);
    const double norm = std::sqrt(1.25);
    EXPECT_NEAR(std::fabs(m.normal[0] * -0.5 / norm + m.normal[2] / norm), 1.0, 1e-9);
    EXPECT_NEAR(m.centroid[0], 2.0, 1e-12);
    EXPECT_NEAR(m.centroid[2], 2.0, 1e-12);
}

TEST(Manifold, EigenvectorsDiagonaliseTheCovariance) {
    std::vector<Point3> points;
    for (int i = 0; i < 30; ++i) points.push_back({std::sin(i * 1.3) * 3, std::cos(i * 0.7) + 0.2 * i, std::sin(i * 2.1)});
    const SlicingManifold m = fit_manifold(points);
    double cov[3][3] = {};
    for (const auto& p : points)
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) cov[r][c] += (p[r] - m.centroid[r]) * (p[c] - m.centroid[c]) / 30.0;
    const Point3 vectors[3] = {m.axes[0], m.axes[1], m.normal};
    double lambda[3];
    for (int k = 0; k < 3; ++k) {
        Point3 cv{};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) cv[r] += cov[r][c] * vectors[k][c];
        lambda[k] = cv[0] * vectors[k][0] + cv[1] * vectors[k][1] + cv[2] * vectors[k][2];
        for (int r = 0; r < 3; ++r) EXPECT_NEAR(cv[r], lambda[k] * vectors[k][r], 1e-9);
    }
    EXPECT_GE(lambda[0], lambda[1]);
    EXPECT_GE(lambda[1], lambda[2]);
    EXPECT_NEAR(m.variance_ratio, (lambda[0] + lambda[1]) / (lambda[0] + lambda[1] + lambda[2]), 1e-9);
}

TEST(Manifold, IdenticalPointsAndNeighbourhoodSize) {
    const std::vector<Point3> same(5, Point3{1, 2, 3});
    const SlicingManifold m = fit_manifold(same);
    EXPECT_EQ(m.variance_ratio, 1.0);
    EXPECT_EQ(m.normal, (Point3{0, 0, 1}));

    const std::vector<Point3> line{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {10, 0, 0}};
    // neighborhood_k 1 still takes three points: the three nearest to the query at x = 0.9.
    EXPECT_NEAR(fit_local_manifold({0.9, 0, 0}, line, 1).centroid[0], 1.0, 1e-12);
    EXPECT_NEAR(fit_local_manifold({0.9, 0, 0}, line, 50).centroid[0], 16.0 / 5.0, 1e-12);
    // Equal distances keep point order: from x = 1.5, points 1 and 2 tie, then 0 and 3 tie.
    EXPECT_NEAR(fit_local_manifold({1.5, 0, 0}, line, 3).centroid[0], 1.0, 1e-12);
}

}  // namespace
}  // namespace korvane::pipeline
