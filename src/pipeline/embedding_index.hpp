// Projected items under string ids, with similarity selection and concept paths: shortest
// chains of items through a k-nearest-neighbour graph on the sphere, whose graph is cached.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "projection/contract.hpp"
#include "projection/types.hpp"
#include "spatial_index/spatial_index.hpp"

namespace korvane::pipeline {

struct EmbeddingItem {
    std::string id;
    geometry::SphericalPoint position;
    double magnitude = 0.0;  // Euclidean norm of the raw embedding
    // Always set by EmbeddingIndex::insert. Readers without it use certainty 1 and intensity
    // = magnitude.
    std::optional<projection::ProjectedPoint> projected;
};

using SpatialItems = spatial_index::SpatialIndex<EmbeddingItem>;

struct PathStep {
    std::string id;
    double cumulative_distance = 0.0;  // from the source, radians
    double hop_distance = 0.0;         // weight of the edge from the previous step; 0 at the source
    std::optional<double> bridge_strength;  // never set in concept paths
};

struct ConceptPath {
    std::vector<PathStep> steps;  // source first
    double total_distance = 0.0;
};

struct KnnNeighbour {
    std::uint32_t node;
    double weight;  // angular distance, radians
    friend bool operator==(const KnnNeighbour&, const KnnNeighbour&) = default;
};

// Undirected k-nearest-neighbour graph, at most one edge per pair of nodes. Nodes are numbered
// in the spatial index's scan order (shells ascending, insertion order within a shell).
class KnnGraph {
public:
    KnnGraph(std::size_t k, std::vector<spatial_index::EntryId> entries, std::vector<std::size_t> offsets,
             std::vector<KnnNeighbour> neighbours, std::vector<std::uint32_t> node_of_entry);

    std::size_t k() const noexcept { return k_; }
    std::size_t node_count() const noexcept { return entries_.size(); }
    // A node's own neighbours by ascending distance, interleaved with the edges that later
    // nodes' searches added, in the order the searches ran.
    std::span<const KnnNeighbour> neighbours(std::size_t node) const noexcept {
        return {neighbours_.data() + offsets_[node], offsets_[node + 1] - offsets_[node]};
    }
    spatial_index::EntryId entry(std::size_t node) const noexcept { return entries_[node]; }
    std::uint32_t node_of(spatial_index::EntryId e) const noexcept { return node_of_entry_[e]; }

    friend bool operator==(const KnnGraph&, const KnnGraph&) = default;

private:
    std::size_t k_;
    std::vector<spatial_index::EntryId> entries_;  // node -> entry
    std::vector<std::size_t> offsets_;             // node_count() + 1
    std::vector<KnnNeighbour> neighbours_;
    std::vector<std::uint32_t> node_of_entry_;
};

// Each node asks the spatial index for its k + 1 nearest items; every new pair {i, j} becomes one
// edge weighted by the angular distance the search reported. Deterministic for any thread count.
KnnGraph build_knn_graph(const SpatialItems& items, std::size_t k);

// Dijkstra from `source` to `target`; nothing when the target is unreachable.
std::optional<ConceptPath> shortest_path(const KnnGraph& graph, const SpatialItems& items, std::uint32_t source,
                                         std::uint32_t target);

// The pipeline's spatial index: 10 uniform shells up to radius 1 and 12 x 6 sectors.
SpatialItems pipeline_spatial_index();

// The part of the embedding index that does not depend on the projection type.
class EmbeddingIndexBase {
public:
    explicit EmbeddingIndexBase(SpatialItems spatial);
    EmbeddingIndexBase(const EmbeddingIndexBase& other);
    EmbeddingIndexBase& operator=(const EmbeddingIndexBase& other);
    EmbeddingIndexBase(EmbeddingIndexBase&&) noexcept = default;
    EmbeddingIndexBase& operator=(EmbeddingIndexBase&&) noexcept = default;

    const EmbeddingItem* get(std::string_view id) const { return spatial_.get(id); }
    void reserve(std::size_t n) { spatial_.reserve(n); }
    // Builds the neighbour-search structure now (after the last insertion) rather than on the
    // first large search.
    void prepare() const { spatial_.prepare(); }
    std::size_t size() const noexcept { return spatial_.size(); }
    const SpatialItems& spatial() const noexcept { return spatial_; }

    // Shortest chain from source to target through the k-nearest-neighbour graph; nothing with
    // fewer than two items, an unknown id or no connection.
    std::optional<ConceptPath> concept_path(std::string_view source, std::string_view target, std::size_t k) const;

    // The graph for k: the cached one when it was built for k over the current items, else a
    // new one, built without holding the cache lock, which then replaces the cache entry (if
    // another caller stored a graph for the same k meanwhile, that identical graph is kept and
    // returned). Callers keep their graph however the cache changes later.
    std::shared_ptr<const KnnGraph> knn_graph(std::size_t k) const;
    // What the cache holds now, without building.
    std::shared_ptr<const KnnGraph> cached_knn_graph() const;
    // How many graphs this index has built so far.
    std::size_t knn_graph_builds() const noexcept;

protected:
    void insert_item(EmbeddingItem item);
    spatial_index::SpatialQueryResult<EmbeddingItem> within_angle(const geometry::SphericalPoint& query,
                                                                  double min_cosine) const;

private:
    struct Cache {
        std::mutex mutex;
        std::shared_ptr<const KnnGraph> graph;
        std::atomic<std::size_t> builds{0};
    };

    SpatialItems spatial_;
    std::unique_ptr<Cache> cache_;
};

// A projection the embedding index can drive: a contract family, or a wrapper (such as
// ConfiguredProjection) that checks input dimensions itself.
template <class P>
concept IndexProjection = requires(const P& p, std::span<const double> e) {
    { p.project(e) } -> std::same_as<geometry::SphericalPoint>;
    { p.project_rich(e) } -> std::same_as<projection::ProjectedPoint>;
} && (projection::Projection<P> || requires(const P& p, std::size_t n) {
    { p.check_input_dimension(n) } -> std::same_as<std::optional<projection::WrongInputDimension>>;
});

template <IndexProjection P>
class EmbeddingIndex : public EmbeddingIndexBase {
public:
    explicit EmbeddingIndex(P projection) : EmbeddingIndex(std::move(projection), pipeline_spatial_index()) {}
    EmbeddingIndex(P projection, SpatialItems spatial)
        : EmbeddingIndexBase(std::move(spatial)), projection_(std::move(projection)) {}

    const P& projection() const noexcept { return projection_; }

    // Projects the embedding and stores it under `id` (an existing id is replaced). Clears the
    // neighbour-graph cache. Requires exclusive access. An embedding of the wrong dimension is
    // refused before it reaches the projection.
    Result<Unit, projection::WrongInputDimension> insert(std::string id, std::span<const double> embedding) {
        if (auto wrong = dimension_error(embedding.size())) return Err{*wrong};
        const projection::ProjectedPoint projected = projection_.project_rich(embedding);
        insert_item(EmbeddingItem{std::move(id), projected.position, projection::magnitude(embedding), projected});
        return Unit{};
    }

    // Items whose angle on the sphere from the projected query is at most arccos(min_cosine)
    // (min_cosine clamped to [-1, 1]; NaN selects nothing), in scan order, with the number of
    // items examined (all of them).
    Result<spatial_index::SpatialQueryResult<EmbeddingItem>, projection::WrongInputDimension> search_similar(
        std::span<const double> query, double min_cosine) const {
        if (auto wrong = dimension_error(query.size())) return Err{*wrong};
        return within_angle(projection_.project(query), min_cosine);
    }

private:
    std::optional<projection::WrongInputDimension> dimension_error(std::size_t length) const {
        if constexpr (requires { projection_.check_input_dimension(length); }) {
            return projection_.check_input_dimension(length);
        } else {
            return projection::check_input_dimension(projection_, length);
        }
    }

    P projection_;
};

}  // namespace korvane::pipeline
