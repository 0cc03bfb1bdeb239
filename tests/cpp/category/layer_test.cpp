#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <vector>

#include "category/layer.hpp"
#include "category/territory.hpp"
#include "common/parallel.hpp"
#include "fixtures.hpp"
#include "geometry/distance.hpp"

namespace korvane::category {
namespace {

using testing::Corpus;

constexpr double kPi = 3.141592653589793;

CategoryLayer build(const Corpus& c, const projection::ConfiguredProjection& p, const config::PipelineConfig& cfg,
                    double evr) {
    const auto positions = testing::project_all(c, p);
    return CategoryLayer::build_with_config(c.labels, c.rows(), positions, evr, p, cfg);
}

// A fitted global PCA over the corpus, as the pipeline uses it.
struct Fitted {
    projection::ConfiguredProjection projection;
    double evr;
    explicit Fitted(const Corpus& c)
        : projection(*projection::PcaProjection::fit(c.rows(), projection::FixedRadius{1.0})),
          evr(projection.explained_variance_ratio()) {}
};

TEST(CategoryLayer, EmptyCorpusAndAllCategoriesDropped) {
    const auto p = testing::axis_projection(3);
    const auto empty = build(Corpus{}, p, testing::small_config(), 1.0);
    EXPECT_TRUE(empty.summaries().empty());
    EXPECT_TRUE(empty.positions().empty());
    EXPECT_TRUE(empty.graph().adjacency.empty());
    EXPECT_TRUE(empty.graph().bridges.empty());
    EXPECT_TRUE(empty.domain_groups().empty());

    Corpus c;
    c.add("a", {1, 0, 0});
    c.add("b", {0, 1, 0});
    c.add("a", {1, 0.1, 0});
    auto cfg = testing::small_config();
    cfg.min_category_size = 3;
    const auto dropped = build(c, p, cfg, 1.0);
    EXPECT_TRUE(dropped.summaries().empty());
    EXPECT_TRUE(dropped.name_to_index().empty());
    EXPECT_EQ(dropped.positions(), testing::project_all(c, p));
    EXPECT_TRUE(dropped.graph().bridges.empty());
    EXPECT_TRUE(dropped.domain_groups().empty());
    EXPECT_TRUE(dropped.inner_spheres().empty());
    EXPECT_FALSE(dropped.category_path("a", "a").has_value());
}

TEST(CategoryLayer, SummariesInOrderOfFirstAppearance) {
    Corpus c;
    c.add("b", {1, 0, 0});
    c.add("a", {0, 0, 2});
    c.add("b", {0, 1, 0});
    const auto layer = build(c, testing::axis_projection(3), testing::small_config(), 1.0);
    ASSERT_EQ(layer.summaries().size(), 2u);
    EXPECT_EQ(layer.category_index("b"), 0u);
    EXPECT_EQ(layer.category_index("a"), 1u);
    EXPECT_FALSE(layer.category_index("c").has_value());

    const auto& b = layer.summaries()[0];
    EXPECT_EQ(b.name, "b");
    EXPECT_EQ(b.member_indices, (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ(b.member_count, 2u);
    EXPECT_EQ(b.centroid, (std::vector<double>{0.5, 0.5, 0.0}));
    EXPECT_NEAR(b.centroid_position.theta, kPi / 4, 1e-15);
    EXPECT_NEAR(b.centroid_position.phi, kPi / 2, 1e-15);
    EXPECT_NEAR(b.angular_spread, kPi / 4, 1e-15);
    EXPECT_NEAR(b.cohesion, 1 / (1 + kPi / 4), 1e-15);
    EXPECT_NEAR(b.cap_area, 2 * kPi * (1 - std::cos(kPi / 4)), 1e-12);

    const auto& a = layer.summaries()[1];
    EXPECT_EQ(a.member_count, 1u);
    EXPECT_EQ(a.angular_spread, 0.0);
    EXPECT_EQ(a.cohesion, 1.0);
    EXPECT_EQ(a.cap_area, 0.0);
    EXPECT_EQ(a.territorial_factor, 1.0);

    for (std::size_t i = 0; i < 2; ++i) {
        const auto& s = layer.summaries()[i];
        EXPECT_EQ(s.territorial_factor, layer.spatial().territorial_factors[i]);
        EXPECT_EQ(s.voronoi_area, layer.spatial().voronoi_cells[i].area);
        EXPECT_EQ(s.density, static_cast<double>(s.member_count) / s.voronoi_area);
    }
}

TEST(CategoryLayer, SingleCategoryHasNoBridgesOrEdges) {
    Corpus c;
    c.add("only", {1, 0, 0});
    c.add("only", {0, 1, 0});
    const auto layer = build(c, testing::axis_projection(3), testing::small_config(), 1.0);
    ASSERT_EQ(layer.summaries().size(), 1u);
    EXPECT_TRUE(layer.graph().bridges.empty());
    ASSERT_EQ(layer.graph().adjacency.size(), 1u);
    EXPECT_TRUE(layer.graph().adjacency[0].empty());
    EXPECT_EQ(layer.summaries()[0].bridge_quality, 0.0);
    EXPECT_TRUE(layer.category_neighbors("only", 3).empty());
    EXPECT_EQ(layer.domain_groups().size(), 1u);
    EXPECT_TRUE(layer.group_inner_spheres().empty());
}

TEST(CategoryLayer, TwoCategoriesWithoutBridges) {
    Corpus c;
    for (int i = 0; i < 3; ++i) c.add("x", {1, 0.1 * i, 0});
    for (int i = 0; i < 3; ++i) c.add("y", {0.1 * i, 1, 0});
    auto cfg = testing::small_config();
    cfg.bridges.threshold_base = 10.0;  // nothing can be that much closer to a foreign centroid
    const auto layer = build(c, testing::axis_projection(3), cfg, 1.0);
    EXPECT_TRUE(layer.graph().bridges.empty());

    // Both centroids lie on the equator, at azimuths atan(0.1) and pi/2 - atan(0.1).
    const double distance = kPi / 2 - 2 * std::atan(0.1);
    const bool neighbours = voronoi_neighbors(layer.spatial().voronoi_cells, 0, 1);
    EXPECT_TRUE(neighbours);  // two centres always share the dividing great circle
    const auto path = layer.category_path("x", "y");
    ASSERT_TRUE(path.has_value());
    ASSERT_EQ(path->steps.size(), 2u);
    EXPECT_EQ(path->steps[0].category_name, "x");
    EXPECT_EQ(path->steps[1].category_name, "y");
    EXPECT_EQ(path->steps[0].hop_confidence, 0.0);
    EXPECT_TRUE(path->steps[0].bridges_to_next.empty());
    EXPECT_EQ(path->path_confidence, 0.01);
    EXPECT_NEAR(path->total_distance, (neighbours ? 0.8 : 1.0) * distance, 1e-12);
    EXPECT_EQ(path->steps[1].cumulative_distance, path->total_distance);
    for (const auto& s : layer.summaries()) EXPECT_EQ(s.bridge_quality, 0.0);

    const auto self = layer.category_path("y", "y");
    ASSERT_TRUE(self.has_value());
    EXPECT_EQ(self->steps.size(), 1u);
    EXPECT_EQ(self->path_confidence, 1.0);
    EXPECT_FALSE(layer.category_path("x", "nope").has_value());
    EXPECT_FALSE(layer.category_path("nope", "x").has_value());
}

TEST(CategoryLayer, BridgeInvariantsAndDroppedCategories) {
    Corpus c = testing::clustered(3, 20, 8, 0.9, 41);
    // A one-item category placed at the first cluster's centroid: dropped, so it never bridges.
    std::vector<double> centre(8, 0.0);
    for (std::size_t i = 0; i < c.size(); i += 3)
        for (std::size_t k = 0; k < 8; ++k) centre[k] += c.rows()[i][k] / 20.0;
    c.add("lonely", centre);
    const std::uint64_t lonely = c.size() - 1;
    const Fitted f(c);
    auto cfg = testing::small_config();
    cfg.min_category_size = 2;
    cfg.inner_sphere.min_size = 10;
    const auto layer = build(c, f.projection, cfg, f.evr);
    ASSERT_EQ(layer.summaries().size(), 3u);
    EXPECT_FALSE(layer.category_index("lonely").has_value());
    EXPECT_EQ(layer.positions().size(), c.size());

    const double thr = layer.spatial().bridge_threshold;
    EXPECT_NEAR(thr, 0.5 + 0.4 * (1 - f.evr) * (1 - f.evr), 1e-15);
    std::size_t total = 0;
    for (const auto& [pair, list] : layer.graph().bridges) {
        ASSERT_FALSE(list.empty());
        for (std::size_t b = 0; b < list.size(); ++b) {
            const auto& x = list[b];
            ++total;
            EXPECT_NE(x.item_index, lonely);
            EXPECT_EQ(x.source_category, pair.first);
            EXPECT_EQ(x.target_category, pair.second);
            EXPECT_NE(x.source_category, x.target_category);
            EXPECT_EQ(layer.category_index(c.labels[x.item_index]), x.source_category);
            EXPECT_GT(x.affinity_to_source, 0.0);
            EXPECT_GT(x.affinity_to_target, thr * x.affinity_to_source);
            const std::vector<double> row(c.rows()[x.item_index].begin(), c.rows()[x.item_index].end());
            const double u = testing::naive_cosine(row, layer.summaries()[x.source_category].centroid);
            const double v = testing::naive_cosine(row, layer.summaries()[x.target_category].centroid);
            EXPECT_NEAR(x.affinity_to_source, u, 1e-12);
            EXPECT_NEAR(x.affinity_to_target, v, 1e-12);
            const double tf = std::fmax(std::sqrt(layer.summaries()[pair.first].territorial_factor *
                                                  layer.summaries()[pair.second].territorial_factor),
                                        0.05);
            EXPECT_NEAR(x.bridge_strength, 2 * u * v / (u + v) * tf, 1e-12);
            EXPECT_FALSE(x.relation.has_value());
            if (b > 0) {
                EXPECT_GE(list[b - 1].bridge_strength, x.bridge_strength);
            }
        }
    }
    EXPECT_GT(total, 0u);  // the clusters overlap enough to bridge
    for (const auto& [index, sphere] : layer.inner_spheres())
        for (auto m : sphere.member_indices) EXPECT_NE(m, lonely);
}

TEST(CategoryLayer, EdgeStatisticsAndBridgeQualityFollowTheBridgeMap) {
    const Corpus c = testing::clustered(4, 15, 6, 1.0, 7);
    const Fitted f(c);
    const auto layer = build(c, f.projection, testing::small_config(), f.evr);
    const auto& s = layer.summaries();
    ASSERT_EQ(s.size(), 4u);
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto& edges = layer.graph().adjacency[i];
        ASSERT_EQ(edges.size(), 3u);
        std::set<std::uint64_t> seen;
        double quality = 0.0;
        for (std::size_t e = 0; e < edges.size(); ++e) {
            const auto& edge = edges[e];
            seen.insert(edge.target);
            EXPECT_NE(edge.target, i);
            const auto it = layer.graph().bridges.find({i, edge.target});
            const std::size_t count = it == layer.graph().bridges.end() ? 0 : it->second.size();
            double sum = 0.0, best = 0.0;
            if (count > 0) {
                for (const auto& b : it->second) sum += b.bridge_strength, best = std::max(best, b.bridge_strength);
            }
            EXPECT_EQ(edge.bridge_count, count);
            EXPECT_EQ(edge.max_bridge_strength, best);
            EXPECT_NEAR(edge.mean_bridge_strength, count ? sum / count : 0.0, 1e-15);
            const double d = geometry::angular_distance(s[i].centroid_position, s[edge.target].centroid_position);
            EXPECT_NEAR(edge.angular_distance, d, 1e-15);
            const double f_v = voronoi_neighbors(layer.spatial().voronoi_cells, i, edge.target) ? 0.8 : 1.0;
            EXPECT_NEAR(edge.weight, f_v * d / (sum + 1.0), 1e-12);
            if (e > 0) {
                EXPECT_LE(edges[e - 1].weight, edge.weight);
            }
            const double t = std::fmax(std::sqrt(s[i].territorial_factor * s[edge.target].territorial_factor), 0.05);
            quality += t * edge.mean_bridge_strength;
            EXPECT_NEAR(layer.spatial().bridge_quality_matrix[i][edge.target], t * best, 1e-15);
        }
        EXPECT_EQ(seen.size(), 3u);
        EXPECT_NEAR(s[i].bridge_quality, quality / 3.0, 1e-15);
        EXPECT_EQ(layer.spatial().bridge_quality_matrix[i][i], 0.0);
    }

    // Neighbours are a prefix of the edge list.
    const auto& edges0 = layer.graph().adjacency[0];
    EXPECT_TRUE(layer.category_neighbors("c0", 0).empty());
    EXPECT_TRUE(layer.category_neighbors("missing", 2).empty());
    const auto two = layer.category_neighbors("c0", 2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(&two[0].get(), &s[edges0[0].target]);
    EXPECT_EQ(&two[1].get(), &s[edges0[1].target]);
    EXPECT_EQ(layer.category_neighbors("c0", 10).size(), 3u);
}

TEST(CategoryLayer, LowEvrLeavesEveryBridgeWeak) {
    const Corpus c = testing::clustered(3, 20, 8, 1.2, 13);
    const Fitted f(c);
    auto cfg = testing::small_config();
    cfg.bridges.min_evr_for_classification = 2.0;
    const auto layer = build(c, f.projection, cfg, f.evr);
    ASSERT_FALSE(layer.graph().bridges.empty());
    for (const auto& [pair, list] : layer.graph().bridges)
        for (const auto& b : list) EXPECT_EQ(b.classification, BridgeClassification::Weak);

    // The same corpus classified: the upper half of the strengths is not Weak.
    cfg.bridges.min_evr_for_classification = 0.0;
    const auto classified = build(c, f.projection, cfg, f.evr);
    std::size_t weak = 0, other = 0;
    for (const auto& [pair, list] : classified.graph().bridges)
        for (const auto& b : list) (b.classification == BridgeClassification::Weak ? weak : other) += 1;
    EXPECT_GT(other, 0u);
    EXPECT_LE(weak, (weak + other) / 2);
}

TEST(CategoryLayer, DrillDownWithoutInnerSphereUsesGlobalPositions) {
    const Corpus c = testing::clustered(2, 12, 5, 0.5, 3);
    const Fitted f(c);
    auto cfg = testing::small_config();
    cfg.inner_sphere.min_size = 1000;  // no inner spheres at all
    const auto layer = build(c, f.projection, cfg, f.evr);
    EXPECT_TRUE(layer.inner_spheres().empty());
    EXPECT_TRUE(layer.inner_sphere_stats().empty());
    const auto query = c.rows()[4];
    const auto q = f.projection.project(query);
    const auto hits = layer.drill_down_with_projection("c0", query, f.projection, 4);
    ASSERT_EQ(hits.size(), 4u);
    const auto& members = layer.summaries()[0].member_indices;
    for (std::size_t i = 0; i < hits.size(); ++i) {
        EXPECT_FALSE(hits[i].used_inner_sphere);
        EXPECT_TRUE(std::find(members.begin(), members.end(), hits[i].item_index) != members.end());
        EXPECT_NEAR(hits[i].distance, geometry::angular_distance(layer.positions()[hits[i].item_index], q), 1e-15);
        if (i > 0) {
            EXPECT_LE(hits[i - 1].distance, hits[i].distance);
        }
    }
    EXPECT_EQ(hits[0].item_index, 4u);
    EXPECT_EQ(layer.drill_down_with_projection("c0", query, f.projection, 100).size(), members.size());
    EXPECT_TRUE(layer.drill_down_with_projection("c0", query, f.projection, 0).empty());
    EXPECT_TRUE(layer.drill_down_with_projection("zz", query, f.projection, 3).empty());
}

// Two clusters whose spread lies in coordinates 3..7, which the axis projection ignores.
Corpus hidden_clusters(std::size_t per, std::uint64_t seed) {
    std::uint64_t state = seed;
    Corpus c;
    for (std::size_t i = 0; i < 2 * per; ++i) {
        const auto g = random::gaussian_vector(state, 5);
        const double side = i % 2 == 0 ? 1.0 : -1.0;
        c.add(i % 2 == 0 ? "left" : "right", {0.3 * side, 0.1, 0.0, g[0], 0.6 * g[1], 0.3 * g[2], 0.1 * g[3],
                                              0.05 * g[4]});
    }
    return c;
}

TEST(CategoryLayer, InnerSpheresForCategoriesAndGroups) {
    const Corpus c = hidden_clusters(12, 8);
    const auto p = testing::axis_projection(8);
    auto cfg = testing::small_config();
    cfg.inner_sphere.min_size = 12;
    cfg.inner_sphere.kernel_pca_min_size = 1000;
    cfg.routing.num_domain_groups = 2;
    const auto layer = build(c, p, cfg, 0.1);
    ASSERT_EQ(layer.inner_spheres().size(), 2u);
    const auto stats = layer.inner_sphere_stats();
    ASSERT_EQ(stats.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(stats[i].category_index, i);
        EXPECT_EQ(stats[i].category_name, layer.summaries()[i].name);
        EXPECT_EQ(stats[i].member_count, 12u);
        EXPECT_EQ(stats[i].projection_type, "LinearPca");
        const auto& sphere = layer.inner_spheres().at(i);
        EXPECT_EQ(sphere.member_indices, layer.summaries()[i].member_indices);
        EXPECT_EQ(stats[i].evr_improvement, sphere.evr_improvement);
        EXPECT_GE(stats[i].evr_improvement, cfg.inner_sphere.min_evr_improvement);
    }
    const auto hits = layer.drill_down_with_projection("right", c.rows()[5], p, 3);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_TRUE(hits[0].used_inner_sphere);
    EXPECT_EQ(hits[0].item_index, 5u);

    // Two singleton groups, each with a sphere over its category's items.
    ASSERT_EQ(layer.domain_groups().size(), 2u);
    ASSERT_EQ(layer.group_inner_spheres().size(), 2u);
    for (std::uint64_t g = 0; g < 2; ++g) {
        const auto cat = layer.domain_groups()[g].member_categories[0];
        EXPECT_EQ(layer.group_inner_spheres().at(g).member_indices, layer.summaries()[cat].member_indices);
        const auto group_hits = layer.drill_down_group(g, c.rows()[0], 4);
        ASSERT_EQ(group_hits.size(), 4u);
        for (const auto& h : group_hits) EXPECT_TRUE(h.used_inner_sphere);
    }
    EXPECT_TRUE(layer.drill_down_group(2, c.rows()[0], 4).empty());

    // One group: no group spheres, so drilling into it finds nothing.
    cfg.routing.num_domain_groups = 1;
    const auto merged = build(c, p, cfg, 0.1);
    ASSERT_EQ(merged.domain_groups().size(), 1u);
    EXPECT_TRUE(merged.group_inner_spheres().empty());
    EXPECT_TRUE(merged.drill_down_group(0, c.rows()[0], 4).empty());

    // With min_size 13 neither a category (12 items) nor a singleton group qualifies.
    cfg.inner_sphere.min_size = 13;
    cfg.routing.num_domain_groups = 2;
    const auto none = build(c, p, cfg, 0.1);
    EXPECT_TRUE(none.inner_spheres().empty());
    EXPECT_TRUE(none.group_inner_spheres().empty());
}

TEST(CategoryLayer, TwoBuildsAreIdentical) {
    const Corpus c = testing::clustered(5, 16, 10, 1.1, 99);
    const Fitted f(c);
    auto cfg = testing::small_config();
    cfg.inner_sphere.min_size = 10;
    cfg.inner_sphere.min_evr_improvement = -1.0;  // every category gets a sphere
    cfg.inner_sphere.kernel_pca_min_size = 16;
    cfg.routing.num_domain_groups = 2;
    const auto a = build(c, f.projection, cfg, f.evr);
    const auto b = build(c, f.projection, cfg, f.evr);
    EXPECT_EQ(a.summaries(), b.summaries());
    EXPECT_EQ(a.spatial(), b.spatial());
    EXPECT_EQ(a.graph(), b.graph());
    EXPECT_EQ(a.domain_groups(), b.domain_groups());
    EXPECT_EQ(a.positions(), b.positions());
    EXPECT_EQ(a.inner_sphere_stats(), b.inner_sphere_stats());
    ASSERT_EQ(a.inner_spheres().size(), 5u);
    for (const auto& [k, sphere] : a.inner_spheres()) {
        const auto& other = b.inner_spheres().at(k);
        EXPECT_EQ(sphere.positions, other.positions);
        EXPECT_EQ(sphere.member_indices, other.member_indices);
        EXPECT_EQ(sphere.inner_evr, other.inner_evr);
    }
    ASSERT_EQ(a.group_inner_spheres().size(), b.group_inner_spheres().size());
    for (const auto& [k, sphere] : a.group_inner_spheres())
        EXPECT_EQ(sphere.positions, b.group_inner_spheres().at(k).positions);
}

TEST(CategoryLayer, ThreadCountDoesNotChangeTheLayer) {
    // Large enough for the chunked similarity loop and the per-category parallel steps.
    const Corpus c = testing::clustered(4, 150, 10, 1.3, 5);
    const Fitted f(c);
    auto cfg = testing::small_config();
    cfg.inner_sphere.min_evr_improvement = -1.0;
    cfg.routing.num_domain_groups = 2;
    parallel::set_thread_count(1);
    const auto serial = build(c, f.projection, cfg, f.evr);
    parallel::set_thread_count(4);
    const auto pooled = build(c, f.projection, cfg, f.evr);
    parallel::set_thread_count(0);
    EXPECT_EQ(serial.summaries(), pooled.summaries());
    EXPECT_EQ(serial.spatial(), pooled.spatial());
    EXPECT_EQ(serial.graph(), pooled.graph());
    EXPECT_EQ(serial.domain_groups(), pooled.domain_groups());
    EXPECT_EQ(serial.inner_sphere_stats(), pooled.inner_sphere_stats());
    EXPECT_FALSE(serial.graph().bridges.empty());
    for (const auto& [k, sphere] : serial.inner_spheres())
        EXPECT_EQ(sphere.positions, pooled.inner_spheres().at(k).positions);
}

TEST(CategoryLayerDeathTest, MismatchedInputsStop) {
    Corpus c;
    c.add("a", {1, 0, 0});
    const auto p = testing::axis_projection(3);
    const std::vector<geometry::SphericalPoint> none;
    EXPECT_DEATH((void)CategoryLayer::build_with_config(c.labels, c.rows(), none, 1.0, p, testing::small_config()),
                 "matching length");
}

}  // namespace
}  // namespace korvane::category
