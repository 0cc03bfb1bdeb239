#include "pipeline/embedding_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <latch>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/parallel.hpp"
#include "common/random.hpp"
#include "geometry/conversions.hpp"
#include "projection/configured_projection.hpp"
#include "projection/pca.hpp"

namespace korvane::pipeline {
namespace {

using geometry::SphericalPoint;

// Places a 3-value embedding at the point with those Cartesian coordinates.
struct DirectProjection {
    static constexpr bool accepts_any_dimension = false;
    std::size_t dimensionality() const { return 3; }
    SphericalPoint project(std::span<const double> e) const {
        return geometry::cartesian_to_spherical({e[0], e[1], e[2]});
    }
    projection::ProjectedPoint project_rich(std::span<const double> e) const {
        return {project(e), 0.75, projection::magnitude(e), 2.5};
    }
};
static_assert(IndexProjection<DirectProjection>);
static_assert(IndexProjection<projection::ConfiguredProjection>);

using Index = EmbeddingIndex<DirectProjection>;
using Vec = std::vector<double>;

std::string id_of(std::size_t i) { return "s-" + std::to_string(i); }

// Random points in the unit ball, away from the origin.
std::vector<Vec> random_embeddings(std::size_t n, std::uint64_t seed) {
    std::vector<Vec> out;
    std::uint64_t state = seed;
    random::SplitMix64 radii{seed + 1};
    for (std::size_t i = 0; i < n; ++i) {
        auto g = random::gaussian_vector(state, 3);
        const double len = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
        const double r = 0.1 + 0.85 * radii.next_f64();
        out.push_back({g[0] / len * r, g[1] / len * r, g[2] / len * r});
    }
    return out;
}

// Points within about `spread` of the direction `axis`.
std::vector<Vec> clustered_embeddings(std::size_t n, Vec axis, double spread, std::uint64_t seed) {
    std::vector<Vec> out;
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < n; ++i) {
        auto g = random::gaussian_vector(state, 3);
        out.push_back({0.5 * (axis[0] + spread * g[0]), 0.5 * (axis[1] + spread * g[1]), 0.5 * (axis[2] + spread * g[2])});
    }
    return out;
}

Index filled(const std::vector<Vec>& embeddings) {
    Index index{DirectProjection{}};
    for (std::size_t i = 0; i < embeddings.size(); ++i) EXPECT_TRUE(index.insert(id_of(i), embeddings[i]).ok());
    return index;
}

// ---- An independent graph and Dijkstra, on items listed in scan order ----

struct Node {
    std::string id;
    SphericalPoint position;
};

// Scan order: shells of 0.1 from 0 to 1 ascending, insertion order within a shell.
std::vector<Node> nodes_in_scan_order(const std::vector<Vec>& embeddings) {
    std::vector<std::pair<int, Node>> keyed;
    for (std::size_t i = 0; i < embeddings.size(); ++i) {
        const auto p = geometry::cartesian_to_spherical({embeddings[i][0], embeddings[i][1], embeddings[i][2]});
        int shell = 0;
        for (int j = 0; j <= 10; ++j) shell += j * 1.0 / 10.0 <= p.r ? 1 : 0;
        keyed.push_back({shell, {id_of(i), p}});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Node> nodes;
    for (auto& [shell, node] : keyed) nodes.push_back(node);
    return nodes;
}

using Adjacency = std::vector<std::vector<KnnNeighbour>>;

// Each node's k + 1 nearest by a full sort (ties by node number); pairs joined once, first
// weight kept, lists in the order the pairs were met.
Adjacency brute_force_graph(const std::vector<Node>& nodes, std::size_t k) {
    const std::size_t n = nodes.size();
    Adjacency adjacency(n);
    std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::vector<std::pair<double, std::uint32_t>> by_distance;
        for (std::uint32_t j = 0; j < n; ++j) {
            by_distance.push_back({geometry::angular_distance(nodes[i].position, nodes[j].position), j});
        }
        std::stable_sort(by_distance.begin(), by_distance.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t t = 0; t < std::min(n, k + 1); ++t) {
            const auto [w, j] = by_distance[t];
            if (j == i || !seen.insert({std::min(i, j), std::max(i, j)}).second) continue;
            adjacency[i].push_back({j, w});
            adjacency[j].push_back({i, w});
        }
    }
    return adjacency;
}

Adjacency adjacency_of(const KnnGraph& graph) {
    Adjacency adjacency(graph.node_count());
    for (std::size_t i = 0; i < graph.node_count(); ++i) {
        const auto list = graph.neighbours(i);
        adjacency[i].assign(list.begin(), list.end());
    }
    return adjacency;
}

struct Route {
    double total;
    std::vector<std::uint32_t> nodes;
};

// Quadratic Dijkstra without a queue.
std::optional<Route> brute_force_route(const Adjacency& adjacency, std::uint32_t source, std::uint32_t target) {
    const std::size_t n = adjacency.size();
    std::vector<double> dist(n, std::numeric_limits<double>::infinity());
    std::vector<std::int64_t> prev(n, -1);
    std::vector<bool> done(n, false);
    dist[source] = 0.0;
    for (;;) {
        std::int64_t u = -1;
        for (std::size_t i = 0; i < n; ++i) {
            if (!done[i] && std::isfinite(dist[i]) && (u < 0 || dist[i] < dist[u])) u = static_cast<std::int64_t>(i);
        }
        if (u < 0) break;
        done[u] = true;
        for (const auto& e : adjacency[u]) {
            if (e.weight + dist[u] < dist[e.node]) {
                dist[e.node] = e.weight + dist[u];
                prev[e.node] = u;
            }
        }
    }
    if (!std::isfinite(dist[target])) return std::nullopt;
    Route route{dist[target], {}};
    for (std::int64_t v = target; v >= 0; v = prev[v]) route.nodes.insert(route.nodes.begin(), static_cast<std::uint32_t>(v));
    return route;
}

void expect_consistent_steps(const ConceptPath& path, const Index& index) {
    ASSERT_FALSE(path.steps.empty());
    EXPECT_EQ(path.steps.front().cumulative_distance, 0.0);
    EXPECT_EQ(path.steps.front().hop_distance, 0.0);
    for (std::size_t i = 0; i < path.steps.size(); ++i) {
        const PathStep& s = path.steps[i];
        EXPECT_FALSE(s.bridge_strength.has_value());
        if (i == 0) continue;
        EXPECT_EQ(s.cumulative_distance, path.steps[i - 1].cumulative_distance + s.hop_distance) << i;
        EXPECT_EQ(s.hop_distance, geometry::angular_distance(index.get(path.steps[i - 1].id)->position,
                                                             index.get(s.id)->position))
            << i;
    }
    EXPECT_EQ(path.steps.back().cumulative_distance, path.total_distance);
}

// ---- Items and similarity ----

TEST(EmbeddingIndex, InsertStoresTheRichProjection) {
    Index index{DirectProjection{}};
    const Vec e{0.3, -0.4, 0.0};
    ASSERT_TRUE(index.insert("a", e).ok());
    const EmbeddingItem* item = index.get("a");
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->id, "a");
    EXPECT_EQ(item->position, DirectProjection{}.project(e));
    EXPECT_DOUBLE_EQ(item->magnitude, 0.5);
    ASSERT_TRUE(item->projected.has_value());
    EXPECT_EQ(item->projected->position, item->position);
    EXPECT_EQ(item->projected->certainty, 0.75);
    EXPECT_EQ(item->projected->projection_magnitude, 2.5);
    EXPECT_EQ(index.size(), 1u);
    EXPECT_EQ(index.get("b"), nullptr);
}

TEST(EmbeddingIndex, WrongDimensionIsRefusedBeforeProjecting) {
    Index index = filled(random_embeddings(5, 1));
    const Vec short_one{1.0, 2.0};
    const auto inserted = index.insert("bad", short_one);
    ASSERT_FALSE(inserted.ok());
    EXPECT_EQ(inserted.error().expected, 3u);
    EXPECT_EQ(inserted.error().actual, 2u);
    EXPECT_EQ(index.size(), 5u);
    EXPECT_EQ(index.get("bad"), nullptr);
    const Vec long_one{1.0, 2.0, 3.0, 4.0};
    const auto searched = index.search_similar(long_one, 0.5);
    ASSERT_FALSE(searched.ok());
    EXPECT_EQ(searched.error().actual, 4u);
}

TEST(EmbeddingIndex, SearchSimilarKeepsItemsWithinTheAngleInScanOrder) {
    auto embeddings = random_embeddings(80, 2);
    const Vec query{0.2, 0.1, -0.3};
    embeddings.push_back({0.4, 0.2, -0.6});  // same direction as the query, other radius
    embeddings.push_back({0.02, 0.01, -0.03});
    const Index index = filled(embeddings);
    const auto nodes = nodes_in_scan_order(embeddings);
    const SphericalPoint q = DirectProjection{}.project(query);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double min_cosine;
        double angle;  // -1: nothing
    } cases[] = {{1.0, 0.0}, {2.0, 0.0}, {0.9, std::acos(0.9)}, {0.0, std::acos(0.0)}, {-0.5, std::acos(-0.5)},
                 {-1.0, 3.141592653589793}, {-7.0, 3.141592653589793}, {nan, -1.0}};
    for (const auto& c : cases) {
        std::vector<std::string> expected;
        for (const Node& node : nodes) {
            if (geometry::angular_distance(q, node.position) <= c.angle) expected.push_back(node.id);
        }
        const auto result = index.search_similar(query, c.min_cosine);
        ASSERT_TRUE(result.ok());
        std::vector<std::string> got;
        for (const auto& item : result->items) got.push_back(item.id);
        EXPECT_EQ(got, expected) << c.min_cosine;
        EXPECT_EQ(result->examined, embeddings.size()) << c.min_cosine;
    }
    // Cosine 1 keeps exactly the two items in the query's direction.
    EXPECT_EQ(index.search_similar(query, 1.0)->items.size(), 2u);
    EXPECT_EQ(index.search_similar(query, -1.0)->items.size(), embeddings.size());
}

// ---- Concept paths ----

TEST(EmbeddingIndex, PathToItselfIsOneStep) {
    const Index index = filled(random_embeddings(12, 3));
    for (const std::size_t k : {0u, 1u, 5u}) {
        const auto path = index.concept_path("s-4", "s-4", k);
        ASSERT_TRUE(path.has_value()) << k;
        ASSERT_EQ(path->steps.size(), 1u);
        EXPECT_EQ(path->steps[0].id, "s-4");
        EXPECT_EQ(path->steps[0].cumulative_distance, 0.0);
        EXPECT_EQ(path->steps[0].hop_distance, 0.0);
        EXPECT_FALSE(path->steps[0].bridge_strength.has_value());
        EXPECT_EQ(path->total_distance, 0.0);
    }
}

TEST(EmbeddingIndex, NoPathWithoutTwoItemsOrWithUnknownIds) {
    const Index empty{DirectProjection{}};
    EXPECT_FALSE(empty.concept_path("s-0", "s-0", 3).has_value());
    const Index single = filled(random_embeddings(1, 4));
    EXPECT_FALSE(single.concept_path("s-0", "s-0", 3).has_value());
    const Index index = filled(random_embeddings(10, 4));
    const struct {
        const char* source;
        const char* target;
    } cases[] = {{"s-0", "nope"}, {"nope", "s-0"}, {"nope", "nope"}, {"", "s-1"}, {"s-10", "s-1"}};
    for (const auto& c : cases) EXPECT_FALSE(index.concept_path(c.source, c.target, 3).has_value()) << c.source << c.target;
    EXPECT_TRUE(index.concept_path("s-0", "s-9", 9).has_value());
}

TEST(EmbeddingIndex, GraphMatchesBruteForceConstruction) {
    const auto embeddings = random_embeddings(120, 5);
    const Index index = filled(embeddings);
    const auto nodes = nodes_in_scan_order(embeddings);
    for (const std::size_t k : {0u, 1u, 3u, 7u, 119u, 500u}) {
        const auto graph = index.knn_graph(k);
        ASSERT_EQ(graph->node_count(), nodes.size());
        EXPECT_EQ(graph->k(), k);
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            ASSERT_EQ(index.spatial().item(graph->entry(i)).id, nodes[i].id) << i;
            EXPECT_EQ(graph->node_of(graph->entry(i)), i);
        }
        EXPECT_EQ(adjacency_of(*graph), brute_force_graph(nodes, k)) << k;
    }
}

// Above 500 items the neighbour searches go through the sectors; the graph must not change
// with the number of threads building it.
TEST(EmbeddingIndex, GraphIsIndependentOfThreadCount) {
    const Index index = filled(random_embeddings(900, 6));
    parallel::set_thread_count(1);
    const KnnGraph serial = build_knn_graph(index.spatial(), 6);
    parallel::set_thread_count(0);
    const KnnGraph parallel_built = build_knn_graph(index.spatial(), 6);
    EXPECT_EQ(serial, parallel_built);
    EXPECT_EQ(adjacency_of(serial), brute_force_graph(nodes_in_scan_order(random_embeddings(900, 6)), 6));
}

TEST(EmbeddingIndex, PathsMatchBruteForceDijkstra) {
    const auto embeddings = random_embeddings(150, 7);
    const Index index = filled(embeddings);
    const auto nodes = nodes_in_scan_order(embeddings);
    std::map<std::string, std::uint32_t> node_of;
    for (std::uint32_t i = 0; i < nodes.size(); ++i) node_of[nodes[i].id] = i;
    random::SplitMix64 rng{8};
    std::size_t reachable = 0, unreachable = 0;
    for (const std::size_t k : {1u, 2u, 4u, 8u}) {
        const Adjacency adjacency = brute_force_graph(nodes, k);
        for (int trial = 0; trial < 40; ++trial) {
            const std::string a = id_of(rng.next_u64() % 150), b = id_of(rng.next_u64() % 150);
            const auto expected = brute_force_route(adjacency, node_of[a], node_of[b]);
            const auto path = index.concept_path(a, b, k);
            ASSERT_EQ(path.has_value(), expected.has_value()) << a << " " << b << " k=" << k;
            if (!path) {
                ++unreachable;
                continue;
            }
            ++reachable;
            EXPECT_DOUBLE_EQ(path->total_distance, expected->total);
            std::vector<std::string> ids, expected_ids;
            for (const auto& s : path->steps) ids.push_back(s.id);
            for (const auto v : expected->nodes) expected_ids.push_back(nodes[v].id);
            EXPECT_EQ(ids, expected_ids);
            EXPECT_EQ(path->steps.front().id, a);
            EXPECT_EQ(path->steps.back().id, b);
            expect_consistent_steps(*path, index);
        }
    }
    // Both outcomes were compared: sparse graphs split, denser ones connect.
    EXPECT_GT(reachable, 80u);
    EXPECT_GT(unreachable, 5u);
}

TEST(EmbeddingIndex, DisconnectedClustersHaveNoPathBetweenThem) {
    auto embeddings = clustered_embeddings(12, {0.0, 0.0, 1.0}, 0.1, 9);
    const auto south = clustered_embeddings(12, {0.0, 0.0, -1.0}, 0.1, 10);
    embeddings.insert(embeddings.end(), south.begin(), south.end());
    const Index index = filled(embeddings);
    // With k = 3 every node's neighbours stay in its own cluster of 12.
    const auto nodes = nodes_in_scan_order(embeddings);
    const Adjacency adjacency = brute_force_graph(nodes, 3);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        for (const auto& e : adjacency[i]) ASSERT_EQ(nodes[i].position.phi < 1.5, nodes[e.node].position.phi < 1.5);
    }
    EXPECT_FALSE(index.concept_path("s-0", "s-12", 3).has_value());
    EXPECT_FALSE(index.concept_path("s-23", "s-1", 3).has_value());
    const auto inside = index.concept_path("s-0", "s-11", 3);
    ASSERT_TRUE(inside.has_value());
    expect_consistent_steps(*inside, index);
    // Enough neighbours join the clusters.
    const auto across = index.concept_path("s-0", "s-12", 12);
    ASSERT_TRUE(across.has_value());
    expect_consistent_steps(*across, index);
}

TEST(EmbeddingIndex, ZeroKGivesNoEdges) {
    const Index index = filled(random_embeddings(20, 11));
    const auto graph = index.knn_graph(0);
    for (std::size_t i = 0; i < graph->node_count(); ++i) EXPECT_TRUE(graph->neighbours(i).empty());
    EXPECT_FALSE(index.concept_path("s-0", "s-1", 0).has_value());
}

// k at or above the item count joins every pair: the path is the direct edge.
TEST(EmbeddingIndex, KBeyondItemCountGivesTheDirectEdge) {
    const auto embeddings = random_embeddings(25, 12);
    const Index index = filled(embeddings);
    for (const std::size_t k : {std::size_t{24}, std::size_t{25}, std::size_t{1000}, std::numeric_limits<std::size_t>::max()}) {
        const auto graph = index.knn_graph(k);
        for (std::size_t i = 0; i < graph->node_count(); ++i) EXPECT_EQ(graph->neighbours(i).size(), 24u);
        const auto path = index.concept_path("s-3", "s-17", k);
        ASSERT_TRUE(path.has_value());
        ASSERT_EQ(path->steps.size(), 2u) << k;
        EXPECT_EQ(path->total_distance,
                  geometry::angular_distance(index.get("s-3")->position, index.get("s-17")->position));
    }
}

// ---- The graph cache ----

TEST(EmbeddingIndex, CacheReusesSameKAndReplacesOnAnotherK) {
    Index index = filled(random_embeddings(60, 13));
    EXPECT_EQ(index.cached_knn_graph(), nullptr);
    (void)index.concept_path("s-1", "s-2", 3);
    const auto first = index.cached_knn_graph();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->k(), 3u);
    EXPECT_EQ(index.knn_graph_builds(), 1u);
    (void)index.concept_path("s-5", "s-9", 3);
    EXPECT_EQ(index.cached_knn_graph(), first);
    EXPECT_EQ(index.knn_graph(3), first);
    EXPECT_EQ(index.knn_graph_builds(), 1u);  // built once for k = 3

    const auto other = index.knn_graph(4);
    EXPECT_EQ(index.knn_graph_builds(), 2u);
    EXPECT_NE(other, first);
    EXPECT_EQ(other->k(), 4u);
    EXPECT_EQ(index.cached_knn_graph(), other);
    // The replaced graph stays intact for whoever still holds it.
    EXPECT_EQ(*first, build_knn_graph(index.spatial(), 3));
    const auto again = index.knn_graph(3);
    EXPECT_NE(again, other);
    EXPECT_EQ(*again, *first);
    EXPECT_EQ(index.cached_knn_graph(), again);
    EXPECT_EQ(index.knn_graph_builds(), 3u);

    ASSERT_TRUE(index.insert("late", Vec{0.1, 0.2, 0.3}).ok());
    EXPECT_EQ(index.cached_knn_graph(), nullptr);
    const auto after = index.knn_graph(3);
    EXPECT_EQ(after->node_count(), 61u);
    EXPECT_EQ(index.knn_graph_builds(), 4u);
}

TEST(EmbeddingIndex, ConcurrentCallersShareOneIdenticalGraph) {
    const Index index = filled(random_embeddings(700, 14));
    const KnnGraph expected = [&] {
        const Index fresh = filled(random_embeddings(700, 14));
        parallel::set_thread_count(1);
        KnnGraph g = build_knn_graph(fresh.spatial(), 5);
        parallel::set_thread_count(0);
        return g;
    }();
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<std::shared_ptr<const KnnGraph>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            got[t] = index.knn_graph(5);
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_NE(got[t], nullptr);
        EXPECT_EQ(got[t], got[0]) << t;
        EXPECT_EQ(*got[t], expected) << t;
    }
    EXPECT_EQ(index.cached_knn_graph(), got[0]);
}

TEST(EmbeddingIndex, ConcurrentPathsWithDifferentKAgreeWithSerialOnes) {
    const auto embeddings = random_embeddings(200, 15);
    const Index index = filled(embeddings);
    const std::size_t ks[] = {2, 3, 5};
    std::vector<std::pair<std::string, std::string>> pairs;
    random::SplitMix64 rng{16};
    for (int i = 0; i < 12; ++i) pairs.push_back({id_of(rng.next_u64() % 200), id_of(rng.next_u64() % 200)});
    std::map<std::size_t, std::vector<std::optional<double>>> expected;
    {
        const Index serial = filled(embeddings);
        for (const std::size_t k : ks) {
            for (const auto& [a, b] : pairs) {
                const auto p = serial.concept_path(a, b, k);
                expected[k].push_back(p ? std::optional<double>(p->total_distance) : std::nullopt);
            }
        }
    }
    constexpr int kThreads = 6;
    std::latch start(kThreads);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < 4; ++round) {
                const std::size_t k = ks[(t + round) % 3];
                for (std::size_t i = 0; i < pairs.size(); ++i) {
                    const auto p = index.concept_path(pairs[i].first, pairs[i].second, k);
                    const auto total = p ? std::optional<double>(p->total_distance) : std::nullopt;
                    if (total != expected[k][i]) ++mismatches[t];
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << t;
    const auto cached = index.cached_knn_graph();
    ASSERT_NE(cached, nullptr);
    EXPECT_TRUE(cached->k() == 2 || cached->k() == 3 || cached->k() == 5);
}

TEST(EmbeddingIndex, CopiesAnswerAlike) {
    const Index index = filled(random_embeddings(40, 17));
    const auto original = index.concept_path("s-0", "s-30", 39);
    const Index copy = index;
    const auto copied = copy.concept_path("s-0", "s-30", 39);
    ASSERT_TRUE(original.has_value());
    ASSERT_TRUE(copied.has_value());
    EXPECT_EQ(original->total_distance, copied->total_distance);
    EXPECT_EQ(copy.cached_knn_graph(), index.cached_knn_graph());
    EXPECT_EQ(copy.size(), index.size());
}

// ---- With the pipeline's projection ----

TEST(EmbeddingIndex, WorksWithTheConfiguredProjection) {
    constexpr std::size_t n = 60, d = 8;
    std::vector<double> values;
    std::uint64_t state = 18;
    for (std::size_t i = 0; i < n; ++i) {
        const auto g = random::gaussian_vector(state, d);
        for (std::size_t j = 0; j < d; ++j) values.push_back(g[j] + (j == i % 3 ? 3.0 : 0.0));
    }
    auto pca = projection::PcaProjection::fit(RowsView{values.data(), n, d, nullptr}, projection::MagnitudeRadius{});
    ASSERT_TRUE(pca.ok());
    const projection::ConfiguredProjection configured{*pca};
    EmbeddingIndex<projection::ConfiguredProjection> index{configured};
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(index.insert(id_of(i), std::span<const double>(values.data() + i * d, d)).ok());
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto rich = configured.project_rich(std::span<const double>(values.data() + i * d, d));
        const EmbeddingItem* item = index.get(id_of(i));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->position, rich.position);
        EXPECT_EQ(item->projected->certainty, rich.certainty);
    }
    const Vec wrong(d + 1, 0.5);
    EXPECT_FALSE(index.insert("x", wrong).ok());
    EXPECT_FALSE(index.search_similar(wrong, 0.0).ok());
    const auto path = index.concept_path("s-0", "s-1", n - 1);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->steps.size(), 2u);
    EXPECT_EQ(path->total_distance, geometry::angular_distance(index.get("s-0")->position, index.get("s-1")->position));
    EXPECT_EQ(index.search_similar(std::span<const double>(values.data(), d), -1.0)->items.size(), n);
}

}  // namespace
}  // namespace korvane::pipeline
