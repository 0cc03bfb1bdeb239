#include "pipeline/embedding_index.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <queue>
#include <utility>

#include "common/parallel.hpp"

namespace korvane::pipeline {
namespace {

using spatial_index::EntryId;

constexpr std::uint32_t kNoNode = std::numeric_limits<std::uint32_t>::max();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Edge {
    std::uint32_t a, b;
    double weight;
};

}  // namespace

KnnGraph::KnnGraph(std::size_t k, std::vector<EntryId> entries, std::vector<std::size_t> offsets,
                   std::vector<KnnNeighbour> neighbours, std::vector<std::uint32_t> node_of_entry)
    : k_(k),
      entries_(std::move(entries)),
      offsets_(std::move(offsets)),
      neighbours_(std::move(neighbours)),
      node_of_entry_(std::move(node_of_entry)) {}

KnnGraph build_knn_graph(const SpatialItems& items, std::size_t k) {
    std::vector<EntryId> entries = items.scan_order();
    const std::size_t n = entries.size();
    std::vector<std::uint32_t> node_of_entry(n, kNoNode);
    for (std::size_t i = 0; i < n; ++i) node_of_entry[entries[i]] = static_cast<std::uint32_t>(i);
    if (n == 0) return KnnGraph(k, {}, {0}, {}, {});

    // Asking for more than every item changes nothing, and k + 1 must not wrap.
    const std::size_t per_node = std::min(k, n - 1) + 1;
    items.prepare();  // build the search structure once, before the workers share it

    // The searches are independent; each node writes only its own slots. They run sector by
    // sector, so consecutive searches touch the same part of the index.
    std::vector<std::uint32_t> by_sector;
    by_sector.reserve(n);
    const auto& sectors = items.entries().sectors();
    for (std::size_t s = 0; s < sectors.sector_count(); ++s) {
        for (const EntryId e : sectors.bucket(s)) by_sector.push_back(node_of_entry[e]);
    }
    std::vector<std::uint32_t> found(n * per_node, kNoNode);
    std::vector<double> weights(n * per_node, 0.0);
    std::vector<std::uint32_t> found_count(n, 0);
    parallel::for_each_chunk(
        n, 64,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t c = begin; c < end; ++c) {
                const std::size_t i = by_sector[c];
                const auto hits = items.nearest_entries(items.item(entries[i]).position, per_node);
                for (std::size_t t = 0; t < hits.size(); ++t) {
                    found[i * per_node + t] = node_of_entry[hits[t].entry];
                    weights[i * per_node + t] = hits[t].distance;
                }
                found_count[i] = static_cast<std::uint32_t>(hits.size());
            }
        },
        256);

    const auto found_by = [&](std::size_t node, std::uint32_t other) {
        const auto first = found.begin() + static_cast<std::ptrdiff_t>(node * per_node);
        return std::find(first, first + found_count[node], other) != first + found_count[node];
    };

    // Pair {i, j} is recorded by whichever of i and j searches first, so it was seen before
    // node i's turn exactly when j < i and j's search found i.
    std::vector<Edge> edges;
    edges.reserve(n * (per_node - 1));
    std::vector<std::size_t> degree(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t t = 0; t < found_count[i]; ++t) {
            const std::uint32_t j = found[i * per_node + t];
            if (j == i) continue;
            if (j < i && found_by(j, static_cast<std::uint32_t>(i))) continue;
            edges.push_back({static_cast<std::uint32_t>(i), j, weights[i * per_node + t]});
            ++degree[i];
            ++degree[j];
        }
    }

    // Adjacency in edge order, which is the order the searches ran.
    std::vector<std::size_t> offsets(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) offsets[i + 1] = offsets[i] + degree[i];
    std::vector<KnnNeighbour> neighbours(offsets[n]);
    std::vector<std::size_t> cursor(offsets.begin(), offsets.end() - 1);
    for (const Edge& e : edges) {
        neighbours[cursor[e.a]++] = {e.b, e.weight};
        neighbours[cursor[e.b]++] = {e.a, e.weight};
    }
    return KnnGraph(k, std::move(entries), std::move(offsets), std::move(neighbours), std::move(node_of_entry));
}

std::optional<ConceptPath> shortest_path(const KnnGraph& graph, const SpatialItems& items, std::uint32_t source,
                                         std::uint32_t target) {
    const std::size_t n = graph.node_count();
    if (source >= n || target >= n) return std::nullopt;

    std::vector<double> distance(n, kInfinity);
    std::vector<std::uint32_t> predecessor(n, kNoNode);
    using Entry = std::pair<double, std::uint32_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
    distance[source] = 0.0;
    queue.push({0.0, source});
    while (!queue.empty()) {
        const auto [d, node] = queue.top();
        queue.pop();
        if (d > distance[node]) continue;
        if (node == target) break;
        for (const KnnNeighbour& next : graph.neighbours(node)) {
            const double candidate = next.weight + distance[node];
            if (candidate < distance[next.node]) {
                distance[next.node] = candidate;
                predecessor[next.node] = node;
                queue.push({candidate, next.node});
            }
        }
    }
    if (distance[target] == kInfinity) return std::nullopt;

    ConceptPath path;
    path.total_distance = distance[target];
    for (std::uint32_t node = target; node != kNoNode; node = predecessor[node]) {
        double hop = 0.0;
        if (const std::uint32_t from = predecessor[node]; from != kNoNode) {
            for (const KnnNeighbour& e : graph.neighbours(from)) {
                if (e.node == node) {
                    hop = e.weight;
                    break;
                }
            }
        }
        path.steps.push_back({items.item(graph.entry(node)).id, distance[node], hop, std::nullopt});
    }
    std::reverse(path.steps.begin(), path.steps.end());
    return path;
}

SpatialItems pipeline_spatial_index() {
    return spatial_index::SpatialIndexBuilder()
        .uniform_shells(10, 1.0)
        .theta_divisions(12)
        .phi_divisions(6)
        .build<EmbeddingItem>();
}

EmbeddingIndexBase::EmbeddingIndexBase(SpatialItems spatial)
    : spatial_(std::move(spatial)), cache_(std::make_unique<Cache>()) {}

EmbeddingIndexBase::EmbeddingIndexBase(const EmbeddingIndexBase& other)
    : spatial_(other.spatial_), cache_(std::make_unique<Cache>()) {
    cache_->graph = other.cached_knn_graph();  // immutable, so sharing it is safe
}

EmbeddingIndexBase& EmbeddingIndexBase::operator=(const EmbeddingIndexBase& other) {
    if (this != &other) {
        EmbeddingIndexBase copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void EmbeddingIndexBase::insert_item(EmbeddingItem item) {
    spatial_.insert(std::move(item));
    if (!cache_) cache_ = std::make_unique<Cache>();
    std::lock_guard lock(cache_->mutex);
    cache_->graph.reset();
}

std::shared_ptr<const KnnGraph> EmbeddingIndexBase::cached_knn_graph() const {
    if (!cache_) return nullptr;
    std::lock_guard lock(cache_->mutex);
    return cache_->graph;
}

std::shared_ptr<const KnnGraph> EmbeddingIndexBase::knn_graph(std::size_t k) const {
    const auto fits = [&](const std::shared_ptr<const KnnGraph>& g) {
        return g && g->k() == k && g->node_count() == spatial_.size();
    };
    if (!cache_) return std::make_shared<const KnnGraph>(build_knn_graph(spatial_, k));
    {
        std::lock_guard lock(cache_->mutex);
        if (fits(cache_->graph)) return cache_->graph;
    }
    auto built = std::make_shared<const KnnGraph>(build_knn_graph(spatial_, k));
    cache_->builds.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(cache_->mutex);
    // A thread that built the same graph meanwhile stored an identical one; keep that copy so
    // concurrent callers share a single graph.
    if (fits(cache_->graph)) return cache_->graph;
    cache_->graph = built;
    return built;
}

std::size_t EmbeddingIndexBase::knn_graph_builds() const noexcept {
    return cache_ ? cache_->builds.load(std::memory_order_relaxed) : 0;
}

std::optional<ConceptPath> EmbeddingIndexBase::concept_path(std::string_view source, std::string_view target,
                                                            std::size_t k) const {
    if (spatial_.size() < 2) return std::nullopt;
    const auto from = spatial_.find(source);
    const auto to = spatial_.find(target);
    if (!from || !to) return std::nullopt;
    const auto graph = knn_graph(k);
    return shortest_path(*graph, spatial_, graph->node_of(*from), graph->node_of(*to));
}

spatial_index::SpatialQueryResult<EmbeddingItem> EmbeddingIndexBase::within_angle(
    const geometry::SphericalPoint& query, double min_cosine) const {
    spatial_index::SpatialQueryResult<EmbeddingItem> result;
    result.examined = spatial_.size();
    if (std::isnan(min_cosine)) return result;
    const double threshold = std::acos(std::clamp(min_cosine, -1.0, 1.0));
    // angular_distance on the cached item directions.
    const geometry::Vec3 q = geometry::unit_direction(query);
    const auto& entries = spatial_.entries();
    entries.for_each_in_scan_order([&](EntryId e) {
        if (geometry::angle_between(q, entries.direction(e)) <= threshold) result.items.push_back(spatial_.item(e));
    });
    return result;
}

}  // namespace korvane::pipeline
