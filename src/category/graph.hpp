// The complete directed category graph and shortest category paths over it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "category/bridges.hpp"
#include "category/summary.hpp"
#include "geometry/regions.hpp"

namespace korvane::category {

struct CategoryEdge {
    std::uint64_t target = 0;
    double angular_distance = 0.0;  // between the two centroid positions
    std::uint64_t bridge_count = 0;
    double max_bridge_strength = 0.0;
    double mean_bridge_strength = 0.0;
    double weight = 0.0;  // traversal cost

    friend bool operator==(const CategoryEdge&, const CategoryEdge&) = default;
};

struct CategoryGraph {
    std::vector<std::vector<CategoryEdge>> adjacency;  // per category, weight ascending
    BridgeMap bridges;

    friend bool operator==(const CategoryGraph&, const CategoryGraph&) = default;
};

struct CategoryPathStep {
    std::string category_name;
    std::vector<BridgeItem> bridges_to_next;  // at most three, strongest first; empty at the end
    std::uint64_t category_index = 0;
    double cumulative_distance = 0.0;
    double hop_confidence = 0.0;  // 0 for the last step

    friend bool operator==(const CategoryPathStep&, const CategoryPathStep&) = default;
};

struct CategoryPath {
    std::vector<CategoryPathStep> steps;
    double total_distance = 0.0;
    double path_confidence = 0.0;

    friend bool operator==(const CategoryPath&, const CategoryPath&) = default;
};

// One edge from every category to every other. Voronoi neighbours cost a fifth less; bridges
// divide the cost by one plus their summed strength.
std::vector<std::vector<CategoryEdge>> build_edges(std::span<const CategorySummary> summaries,
                                                   const BridgeMap& bridges,
                                                   std::span<const geometry::VoronoiCell> cells);

// Dijkstra from `source` to `target` (valid category indices); absent when unreachable.
std::optional<CategoryPath> shortest_category_path(const CategoryGraph& graph,
                                                   std::span<const CategorySummary> summaries,
                                                   std::span<const double> territorial_factors,
                                                   std::span<const geometry::VoronoiCell> cells, std::uint64_t source,
                                                   std::uint64_t target);

}  // namespace korvane::category
