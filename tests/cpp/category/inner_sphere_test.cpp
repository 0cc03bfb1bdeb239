#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "category/inner_sphere.hpp"
#include "fixtures.hpp"
#include "geometry/distance.hpp"

namespace korvane::category {
namespace {

// Items whose variance lives in coordinates 3..5, which the axis projection ignores: the
// global certainty is tiny, a private PCA explains nearly everything.
testing::Corpus hidden_variance(std::size_t n, std::uint64_t seed) {
    std::uint64_t state = seed;
    testing::Corpus c;
    for (std::size_t i = 0; i < n; ++i) {
        const auto g = random::gaussian_vector(state, 3);
        c.add("h", {0.1, 0.0, 0.0, g[0], 0.5 * g[1], 0.25 * g[2]});
    }
    return c;
}

std::vector<std::uint64_t> all_items(std::size_t n) {
    std::vector<std::uint64_t> v(n);
    std::iota(v.begin(), v.end(), 0);
    return v;
}

config::InnerSphereConfig inner_config() {
    config::InnerSphereConfig c;
    c.min_size = 5;
    c.min_evr_improvement = 0.1;
    c.kernel_pca_min_size = 1000;
    c.min_kernel_improvement = 0.05;
    return c;
}

TEST(FitInnerSphere, NeedsImprovementOverGlobalCertainty) {
    // Three-dimensional items: the global axis projection keeps everything (certainty 1), so no
    // private projection can improve on it by a positive margin.
    testing::Corpus c;
    std::uint64_t state = 5;
    for (int i = 0; i < 12; ++i) {
        const auto g = random::gaussian_vector(state, 3);
        c.add("a", {1 + 0.2 * g[0], 0.2 * g[1], 0.2 * g[2]});
    }
    const auto global = testing::axis_projection(3);
    const auto subset = all_items(c.size());
    struct Case {
        double min_improvement;
        bool sphere;
    };
    for (const Case k : {Case{0.1, false}, Case{1e-9, false}, Case{-0.01, true}}) {
        SCOPED_TRACE(k.min_improvement);
        auto cfg = inner_config();
        cfg.min_evr_improvement = k.min_improvement;
        const auto sphere = fit_inner_sphere(subset, c.rows(), global, cfg);
        EXPECT_EQ(sphere.has_value(), k.sphere);
        if (sphere) {
            EXPECT_DOUBLE_EQ(sphere->global_subset_evr, 1.0);
        }
    }
}

TEST(FitInnerSphere, LinearSphereRecordsItsGain) {
    const auto c = hidden_variance(40, 17);
    const auto global = testing::axis_projection(6);
    // Members fitted in a chosen (non-ascending) order.
    std::vector<std::uint64_t> subset;
    for (std::uint64_t i = 0; i < c.size(); i += 2) subset.push_back(i);
    for (std::uint64_t i = 1; i < c.size(); i += 2) subset.push_back(i);
    const auto sphere = fit_inner_sphere(subset, c.rows(), global, inner_config());
    ASSERT_TRUE(sphere.has_value());
    EXPECT_EQ(sphere->projection.display_name(), "LinearPca");
    EXPECT_EQ(sphere->member_indices, subset);

    // Independent reference: certainty under the axis projection is the share of the
    // normalised embedding in the first three coordinates.
    double certainty = 0.0;
    for (auto i : subset) {
        const auto row = c.rows()[i];
        double head = 0.0, all = 0.0;
        for (std::size_t k = 0; k < row.size(); ++k) {
            all += row[k] * row[k];
            if (k < 3) head += row[k] * row[k];
        }
        certainty += head / all;
    }
    certainty /= static_cast<double>(subset.size());
    EXPECT_NEAR(sphere->global_subset_evr, certainty, 1e-12);
    EXPECT_LT(sphere->global_subset_evr, 0.1);
    EXPECT_GT(sphere->inner_evr, 0.9);
    EXPECT_DOUBLE_EQ(sphere->evr_improvement, sphere->inner_evr - sphere->global_subset_evr);

    // The sphere is a PCA of the subset in subset order: refit and compare.
    std::vector<double> rows;
    for (auto i : subset) rows.insert(rows.end(), c.rows()[i].begin(), c.rows()[i].end());
    const auto ref = projection::PcaProjection::fit(RowsView{rows.data(), subset.size(), 6, nullptr},
                                                    projection::FixedRadius{1.0});
    ASSERT_TRUE(ref.ok());
    EXPECT_EQ(sphere->inner_evr, ref->explained_variance_ratio());
    ASSERT_EQ(sphere->positions.size(), subset.size());
    for (std::size_t r = 0; r < subset.size(); ++r) {
        EXPECT_EQ(sphere->positions[r], ref->project(c.rows()[subset[r]]));
        EXPECT_EQ(sphere->positions[r].r, 1.0);
    }
}

TEST(FitInnerSphere, KernelChosenOnlyAboveItsMargin) {
    const auto c = hidden_variance(30, 23);
    const auto global = testing::axis_projection(6);
    const auto subset = all_items(c.size());
    const auto pca = projection::PcaProjection::fit(c.rows(), projection::FixedRadius{1.0});
    const auto kernel = projection::KernelPcaProjection::fit(c.rows(), projection::FixedRadius{1.0});
    ASSERT_TRUE(pca.ok() && kernel.ok());
    const double p = pca->explained_variance_ratio(), k = kernel->explained_variance_ratio();

    // The margin at which pca_evr + margin == kernel_evr exactly.
    double tie = k - p;
    while (p + tie > k) tie = std::nextafter(tie, -1.0);
    while (p + tie < k) tie = std::nextafter(tie, 2.0);
    ASSERT_EQ(p + tie, k);
    double below = tie;  // the largest margin with pca_evr + margin < kernel_evr
    while (p + below >= k) below = std::nextafter(below, -1.0);

    struct Case {
        std::uint64_t kernel_min_size;
        double margin;
        const char* type;
    };
    const Case cases[] = {
        {30, -2.0, "KernelPca"},
        {31, -2.0, "LinearPca"},  // too few members to try the kernel
        {30, 2.0, "LinearPca"},
        {30, tie, "LinearPca"},   // equality is not enough
        {30, below, "KernelPca"},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.margin);
        auto cfg = inner_config();
        cfg.kernel_pca_min_size = cs.kernel_min_size;
        cfg.min_kernel_improvement = cs.margin;
        const auto sphere = fit_inner_sphere(subset, c.rows(), global, cfg);
        ASSERT_TRUE(sphere.has_value());
        EXPECT_EQ(sphere->projection.display_name(), std::string_view(cs.type));
        EXPECT_EQ(sphere->inner_evr, std::string_view(cs.type) == "KernelPca" ? k : p);
    }
}

TEST(FitInnerSphere, LargeSubsetsKeepTheLinearSphere) {
    // 2000 members would need a 2000 x 2000 kernel matrix: the kernel is not tried even when
    // any kernel ratio would win.
    const auto c = hidden_variance(2000, 31);
    auto cfg = inner_config();
    cfg.kernel_pca_min_size = 80;
    cfg.min_kernel_improvement = -2.0;
    const auto sphere = fit_inner_sphere(all_items(c.size()), c.rows(), testing::axis_projection(6), cfg);
    ASSERT_TRUE(sphere.has_value());
    EXPECT_EQ(sphere->projection.display_name(), "LinearPca");
    const auto smaller = fit_inner_sphere(all_items(1999), c.rows(), testing::axis_projection(6), cfg);
    ASSERT_TRUE(smaller.has_value());
    EXPECT_EQ(smaller->projection.display_name(), "KernelPca");
}

TEST(KeepNearest, StableByDistanceNanLast) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<DrillDownHit> hits = {{10, 0.3, false}, {11, nan, false}, {12, 0.1, false},
                                            {13, 0.3, false}, {14, 0.2, false}};
    struct Case {
        std::size_t k;
        std::vector<std::uint64_t> items;
    };
    const Case cases[] = {{0, {}}, {1, {12}}, {3, {12, 14, 10}}, {4, {12, 14, 10, 13}}, {9, {12, 14, 10, 13, 11}}};
    for (const auto& c : cases) {
        auto h = hits;
        keep_nearest(h, c.k);
        std::vector<std::uint64_t> items;
        for (const auto& x : h) items.push_back(x.item_index);
        EXPECT_EQ(items, c.items) << c.k;
    }
}

TEST(DrillDownSphere, MeasuresInTheInnerSphere) {
    const auto c = hidden_variance(25, 3);
    const auto subset = all_items(c.size());
    const auto sphere = fit_inner_sphere(subset, c.rows(), testing::axis_projection(6), inner_config());
    ASSERT_TRUE(sphere.has_value());
    const auto query = c.rows()[7];
    const auto hits = drill_down_sphere(*sphere, query, 5);
    ASSERT_EQ(hits.size(), 5u);
    EXPECT_EQ(hits[0].item_index, 7u);  // the item itself, at distance 0
    EXPECT_NEAR(hits[0].distance, 0.0, 1e-7);
    const auto q = sphere->projection.project(query);
    for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_TRUE(hits[i].used_inner_sphere);
        EXPECT_EQ(hits[i].distance, geometry::angular_distance(q, sphere->positions[hits[i].item_index]));
        if (i > 0) {
            EXPECT_LE(hits[i - 1].distance, hits[i].distance);
        }
    }
    EXPECT_TRUE(drill_down_sphere(*sphere, query, 0).empty());
    EXPECT_EQ(drill_down_sphere(*sphere, query, 100).size(), c.size());
}

}  // namespace
}  // namespace korvane::category

namespace korvane::category {
namespace {

TEST(NearestByAngle, CandidateShortcutMatchesTheFullScan) {
    // Random directions with exact duplicates and near-duplicates, so ties and sub-ulp angle
    // differences are exercised; every k must give exactly what scanning all items gives.
    std::uint64_t state = 7;
    std::vector<geometry::Vec3> dirs;
    for (int i = 0; i < 1500; ++i) {
        const auto g = random::gaussian_vector(state, 3);
        const double m = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
        dirs.push_back({g[0] / m, g[1] / m, g[2] / m});
        if (i % 10 == 0) dirs.push_back(dirs.back());
        if (i % 15 == 0) dirs.push_back({dirs.back()[0], dirs.back()[1] + 1e-13, dirs.back()[2]});
    }
    std::vector<std::uint64_t> items(dirs.size());
    for (std::size_t i = 0; i < items.size(); ++i) items[i] = 1000 + i;
    const auto direction_of = [&](std::size_t i) -> const geometry::Vec3& { return dirs[i]; };
    for (int t = 0; t < 20; ++t) {
        const geometry::Vec3 q = dirs[static_cast<std::size_t>(t * 37)];
        for (std::size_t k : {1u, 3u, 10u, 50u, 400u}) {
            std::vector<DrillDownHit> full;
            for (std::size_t i = 0; i < dirs.size(); ++i) full.push_back({items[i], geometry::angle_between(q, dirs[i]), true});
            keep_nearest(full, k);
            const auto fast = nearest_by_angle(q, items, direction_of, true, k);
            ASSERT_EQ(fast.size(), full.size());
            for (std::size_t i = 0; i < fast.size(); ++i) {
                EXPECT_EQ(fast[i].item_index, full[i].item_index) << "k=" << k << " rank " << i;
                EXPECT_EQ(fast[i].distance, full[i].distance);
            }
        }
    }
}

}  // namespace
}  // namespace korvane::category
