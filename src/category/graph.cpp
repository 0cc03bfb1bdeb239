#include "category/graph.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>

#include "category/float_order.hpp"
#include "category/territory.hpp"
#include "geometry/distance.hpp"

namespace korvane::category {
namespace {

constexpr double kVoronoiWeightFactor = 0.8;
constexpr double kVoronoiConfidenceFactor = 1.2;
constexpr double kHopConfidenceFloor = 0.01;
constexpr std::size_t kBridgesPerStep = 3;

}  // namespace

std::vector<std::vector<CategoryEdge>> build_edges(std::span<const CategorySummary> summaries,
                                                   const BridgeMap& bridges,
                                                   std::span<const geometry::VoronoiCell> cells) {
    const std::size_t n = summaries.size();
    std::vector<geometry::Vec3> dirs(n);
    for (std::size_t i = 0; i < n; ++i) dirs[i] = geometry::unit_direction(summaries[i].centroid_position);
    std::vector<double> distance(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            distance[i * n + j] = distance[j * n + i] = geometry::angle_between(dirs[i], dirs[j]);

    std::vector<std::vector<CategoryEdge>> adjacency(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto& edges = adjacency[i];
        edges.reserve(n > 0 ? n - 1 : 0);
        for (std::size_t j = 0; j < n; ++j) {
            if (j == i) continue;
            CategoryEdge e;
            e.target = j;
            e.angular_distance = distance[i * n + j];
            if (auto it = bridges.find(IndexPair{i, j}); it != bridges.end() && !it->second.empty()) {
                const auto& list = it->second;
                double sum = 0.0;
                for (const auto& b : list) sum += b.bridge_strength;
                e.bridge_count = list.size();
                e.max_bridge_strength = list.front().bridge_strength;
                e.mean_bridge_strength = sum / static_cast<double>(list.size());
            }
            const double f = voronoi_neighbors(cells, i, j) ? kVoronoiWeightFactor : 1.0;
            e.weight = f * e.angular_distance /
                       (static_cast<double>(e.bridge_count) * e.mean_bridge_strength + 1.0);
            edges.push_back(e);
        }
        std::stable_sort(edges.begin(), edges.end(),
                         [](const CategoryEdge& a, const CategoryEdge& b) { return total_less(a.weight, b.weight); });
    }
    return adjacency;
}

std::optional<CategoryPath> shortest_category_path(const CategoryGraph& graph,
                                                   std::span<const CategorySummary> summaries,
                                                   std::span<const double> territorial_factors,
                                                   std::span<const geometry::VoronoiCell> cells, std::uint64_t source,
                                                   std::uint64_t target) {
    const std::size_t n = graph.adjacency.size();
    if (source >= n || target >= n || source >= summaries.size() || target >= summaries.size()) return std::nullopt;
    if (source == target) {
        CategoryPath path;
        path.steps.push_back(CategoryPathStep{summaries[source].name, {}, source, 0.0, 0.0});
        path.total_distance = 0.0;
        path.path_confidence = 1.0;
        return path;
    }

    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
    std::vector<double> dist(n, kInf);
    std::vector<std::uint64_t> prev(n, kNone);
    using Entry = std::pair<double, std::uint64_t>;
    auto later = [](const Entry& a, const Entry& b) { return total_less(b.first, a.first); };
    std::priority_queue<Entry, std::vector<Entry>, decltype(later)> queue(later);
    dist[source] = 0.0;
    queue.emplace(0.0, source);
    while (!queue.empty()) {
        const auto [d, u] = queue.top();
        queue.pop();
        if (u == target) break;
        if (d > dist[u]) continue;
        for (const auto& e : graph.adjacency[u]) {
            const double candidate = d + e.weight;
            if (dist[e.target] > candidate) {
                dist[e.target] = candidate;
                prev[e.target] = u;
                queue.emplace(candidate, e.target);
            }
        }
    }
    if (dist[target] == kInf) return std::nullopt;

    std::vector<std::uint64_t> order;
    for (std::uint64_t c = target; c != kNone; c = prev[c]) {
        order.push_back(c);
        if (c == source) break;
    }
    std::reverse(order.begin(), order.end());

    CategoryPath path;
    path.steps.reserve(order.size());
    path.path_confidence = 1.0;
    for (std::size_t s = 0; s < order.size(); ++s) {
        const std::uint64_t c = order[s];
        CategoryPathStep step{summaries[c].name, {}, c, dist[c], 0.0};
        if (s + 1 < order.size()) {
            const std::uint64_t next = order[s + 1];
            if (auto it = graph.bridges.find(IndexPair{c, next}); it != graph.bridges.end()) {
                const auto& list = it->second;
                step.bridges_to_next.assign(list.begin(),
                                            list.begin() + static_cast<std::ptrdiff_t>(
                                                               std::min(list.size(), kBridgesPerStep)));
            }
            double strongest = 0.0;
            for (const auto& e : graph.adjacency[c])
                if (e.target == next) {
                    strongest = e.max_bridge_strength;
                    break;
                }
            const double v = voronoi_neighbors(cells, c, next) ? kVoronoiConfidenceFactor : 1.0;
            step.hop_confidence =
                std::fmin(strongest * pair_territorial(territorial_factors, c, next) * v, 1.0);
            path.path_confidence *= std::fmax(step.hop_confidence, kHopConfidenceFloor);
        }
        path.steps.push_back(std::move(step));
    }
    path.total_distance = dist[target];
    return path;
}

}  // namespace korvane::category
