#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "category/graph.hpp"
#include "fixtures.hpp"

namespace korvane::category {
namespace {

constexpr double kHalfPi = 1.5707963267948966;

CategorySummary at(std::string name, geometry::SphericalPoint p) {
    CategorySummary s;
    s.name = std::move(name);
    s.centroid_position = p;
    return s;
}

BridgeItem bridge(std::uint64_t item, std::uint64_t s, std::uint64_t t, double strength) {
    return BridgeItem{item, s, t, 0.5, 0.5, strength, BridgeClassification::Weak, std::nullopt};
}

geometry::VoronoiCell cell(std::uint64_t index, std::vector<std::uint64_t> neighbors) {
    return geometry::VoronoiCell{std::move(neighbors), index, 1.0};
}

std::vector<std::uint64_t> targets(const std::vector<CategoryEdge>& edges) {
    std::vector<std::uint64_t> out;
    for (const auto& e : edges) out.push_back(e.target);
    return out;
}

TEST(BuildEdges, WeightsFromDistanceBridgesAndVoronoiAdjacency) {
    using testing::direction;
    const std::vector<CategorySummary> summaries = {at("x", direction(1, 0, 0)), at("y", direction(0, 1, 0)),
                                                    at("z", direction(0, 0, 1))};
    BridgeMap bridges;
    bridges[{0, 1}] = {bridge(4, 0, 1, 0.6), bridge(2, 0, 1, 0.2)};
    const std::vector<geometry::VoronoiCell> cells = {cell(0, {2}), cell(1, {}), cell(2, {0})};
    const auto adjacency = build_edges(summaries, bridges, cells);
    ASSERT_EQ(adjacency.size(), 3u);
    for (const auto& edges : adjacency) ASSERT_EQ(edges.size(), 2u);

    // 0 -> 1: two bridges of mean 0.4 divide by 1.8; 0 -> 2: Voronoi neighbours, x 0.8.
    EXPECT_EQ(targets(adjacency[0]), (std::vector<std::uint64_t>{1, 2}));
    const auto& e01 = adjacency[0][0];
    EXPECT_NEAR(e01.angular_distance, kHalfPi, 1e-15);
    EXPECT_EQ(e01.bridge_count, 2u);
    EXPECT_EQ(e01.max_bridge_strength, 0.6);
    EXPECT_NEAR(e01.mean_bridge_strength, 0.4, 1e-15);
    EXPECT_NEAR(e01.weight, kHalfPi / 1.8, 1e-15);
    const auto& e02 = adjacency[0][1];
    EXPECT_EQ(e02.bridge_count, 0u);
    EXPECT_EQ(e02.max_bridge_strength, 0.0);
    EXPECT_EQ(e02.mean_bridge_strength, 0.0);
    EXPECT_NEAR(e02.weight, 0.8 * kHalfPi, 1e-15);

    // Equal weights keep ascending targets; direction matters for bridges.
    EXPECT_EQ(targets(adjacency[1]), (std::vector<std::uint64_t>{0, 2}));
    EXPECT_NEAR(adjacency[1][0].weight, kHalfPi, 1e-15);
    EXPECT_EQ(adjacency[1][0].bridge_count, 0u);
    EXPECT_EQ(targets(adjacency[2]), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_NEAR(adjacency[2][0].weight, 0.8 * kHalfPi, 1e-15);

    // The distance matrix is symmetric.
    for (std::size_t i = 0; i < 3; ++i)
        for (const auto& e : adjacency[i])
            for (const auto& back : adjacency[e.target])
                if (back.target == i) {
                    EXPECT_EQ(back.angular_distance, e.angular_distance);
                }
}

TEST(BuildEdges, NoCategoriesAndOneCategory) {
    EXPECT_TRUE(build_edges({}, {}, {}).empty());
    const std::vector<CategorySummary> one = {at("x", testing::direction(1, 0, 0))};
    const auto adjacency = build_edges(one, {}, {});
    ASSERT_EQ(adjacency.size(), 1u);
    EXPECT_TRUE(adjacency[0].empty());
}

CategoryEdge edge(std::uint64_t target, double weight, double max_strength = 0.0) {
    CategoryEdge e;
    e.target = target;
    e.weight = weight;
    e.max_bridge_strength = max_strength;
    return e;
}

// 0 -1-> 1 -1-> 2 -1-> 3 beats 0 -> 3 (10), 0 -> 2 (4) and 1 -> 3 (5).
struct DiamondGraph {
    CategoryGraph graph;
    std::vector<CategorySummary> summaries = {at("p", {}), at("q", {}), at("r", {}), at("s", {})};
    std::vector<double> factors = {1.0, 1.0, 0.25, 1.0};
    std::vector<geometry::VoronoiCell> cells = {cell(0, {1}), cell(1, {0, 2}), cell(2, {1, 3}), cell(3, {2})};
    DiamondGraph() {
        graph.adjacency = {
            {edge(1, 1.0, 0.5), edge(2, 4.0), edge(3, 10.0)},
            {edge(2, 1.0, 3.0), edge(0, 1.0), edge(3, 5.0)},
            {edge(3, 1.0), edge(0, 4.0), edge(1, 9.0)},
            {edge(0, 10.0), edge(1, 5.0), edge(2, 1.0)},
        };
        for (std::uint64_t i = 0; i < 5; ++i) graph.bridges[{0, 1}].push_back(bridge(10 + i, 0, 1, 0.5 - 0.1 * i));
        graph.bridges[{1, 2}] = {bridge(20, 1, 2, 3.0)};
    }
};

TEST(ShortestCategoryPath, FollowsCheapestChainWithHopConfidences) {
    DiamondGraph g;
    const auto path = shortest_category_path(g.graph, g.summaries, g.factors, g.cells, 0, 3);
    ASSERT_TRUE(path.has_value());
    ASSERT_EQ(path->steps.size(), 4u);
    const std::vector<std::string> names = {"p", "q", "r", "s"};
    for (std::size_t s = 0; s < 4; ++s) {
        EXPECT_EQ(path->steps[s].category_index, s);
        EXPECT_EQ(path->steps[s].category_name, names[s]);
        EXPECT_EQ(path->steps[s].cumulative_distance, static_cast<double>(s));
    }
    EXPECT_EQ(path->total_distance, 3.0);

    // Three strongest of the five bridges 0 -> 1.
    const auto& first = path->steps[0].bridges_to_next;
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].item_index, 10u);
    EXPECT_EQ(first[2].item_index, 12u);
    EXPECT_EQ(path->steps[1].bridges_to_next.size(), 1u);
    EXPECT_TRUE(path->steps[2].bridges_to_next.empty());
    EXPECT_TRUE(path->steps[3].bridges_to_next.empty());

    // 0 -> 1: 0.5 x 1 x 1.2 (neighbours); 1 -> 2: 3.0 x sqrt(0.25) x 1.2 capped at 1;
    // 2 -> 3: no bridges, floored at 0.01 in the product.
    EXPECT_NEAR(path->steps[0].hop_confidence, 0.6, 1e-15);
    EXPECT_EQ(path->steps[1].hop_confidence, 1.0);
    EXPECT_EQ(path->steps[2].hop_confidence, 0.0);
    EXPECT_EQ(path->steps[3].hop_confidence, 0.0);
    EXPECT_NEAR(path->path_confidence, 0.6 * 1.0 * 0.01, 1e-15);
}

TEST(ShortestCategoryPath, SameCategoryAndUnreachable) {
    DiamondGraph g;
    const auto self = shortest_category_path(g.graph, g.summaries, g.factors, g.cells, 2, 2);
    ASSERT_TRUE(self.has_value());
    ASSERT_EQ(self->steps.size(), 1u);
    EXPECT_EQ(self->steps[0].category_name, "r");
    EXPECT_TRUE(self->steps[0].bridges_to_next.empty());
    EXPECT_EQ(self->total_distance, 0.0);
    EXPECT_EQ(self->path_confidence, 1.0);

    // Cut every edge into 3.
    for (auto& edges : g.graph.adjacency)
        std::erase_if(edges, [](const CategoryEdge& e) { return e.target == 3; });
    EXPECT_FALSE(shortest_category_path(g.graph, g.summaries, g.factors, g.cells, 0, 3).has_value());
    EXPECT_FALSE(shortest_category_path(g.graph, g.summaries, g.factors, g.cells, 0, 7).has_value());
}

TEST(ShortestCategoryPath, ReverseDirectionUsesItsOwnEdges) {
    DiamondGraph g;
    // 3 -> 2 (1) -> 0 (4) = 5 equals 3 -> 1 (5) and beats 3 -> 0 (10); 3 -> 2 -> 1 costs 10.
    const auto path = shortest_category_path(g.graph, g.summaries, g.factors, g.cells, 3, 0);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->total_distance, 5.0);
    EXPECT_EQ(path->steps.front().category_index, 3u);
    EXPECT_EQ(path->steps.back().category_index, 0u);
    // Every hop of the reverse route is unbridged.
    EXPECT_NEAR(path->path_confidence, std::pow(0.01, path->steps.size() - 1), 1e-18);
}

}  // namespace
}  // namespace korvane::category
