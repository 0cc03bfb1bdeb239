// Approximate k-nearest neighbours by cosine similarity over a forest of random-projection trees.
//
// Built once and immutable; copies share the built state. Build and queries are deterministic
// for a given configuration, whatever the thread count of the data-parallel pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "common/rows.hpp"
#include "projection/error.hpp"

namespace korvane::projection {

struct AnnConfig {
    std::size_t n_trees = 8;
    std::size_t max_leaf_size = 40;  // a node with at most this many points becomes a leaf
    std::uint64_t seed = 0xA00F0E57;
};

struct Neighbor {
    std::size_t index;
    double similarity;
    friend bool operator==(const Neighbor&, const Neighbor&) = default;
};

// Ragged neighbour rows in one buffer: row i is entries[offsets[i] .. offsets[i + 1]).
struct NeighborRows {
    std::vector<std::size_t> offsets{0};
    std::vector<Neighbor> entries;

    std::size_t size() const noexcept { return offsets.size() - 1; }
    std::span<const Neighbor> operator[](std::size_t i) const noexcept {
        return {entries.data() + offsets[i], offsets[i + 1] - offsets[i]};
    }
};

// Orders by similarity descending (total order of doubles, so NaN never breaks a sort), then by
// index ascending.
bool ranks_before(const Neighbor& a, const Neighbor& b) noexcept;

// Exact search over n row-major points of width d: row i holds the min(k, n - 1) best j != i by
// dot product, ranked as above. The points should be unit vectors for the scores to be cosines.
NeighborRows exact_neighbor_rows(std::span<const double> points, std::size_t n, std::size_t d, std::size_t k);

class AnnIndex {
public:
    // Build errors are programming errors of the caller; they come back as their message.
    // Normalises every vector first (division by the norm when it exceeds ε, else unchanged).
    static Result<AnnIndex, std::string> build(const RowsView& vectors, const AnnConfig& config = {});
    // Takes over row-major vectors of width d that are already of unit length.
    static Result<AnnIndex, std::string> build_normalized(std::vector<double> vectors, std::size_t d,
                                                          const AnnConfig& config = {});
    // The shared tail of both: checks the configuration and builds the forest.
    static Result<AnnIndex, std::string> build_from_normalized(std::vector<double> vectors, std::size_t d,
                                                               const AnnConfig& config = {});

    std::size_t size() const noexcept { return state_->n; }
    std::size_t dimensionality() const noexcept { return state_->d; }
    std::size_t tree_count() const noexcept { return state_->trees.size(); }
    const AnnConfig& config() const noexcept { return state_->config; }
    // Stored unit vectors, row-major n×d.
    std::span<const double> vectors() const noexcept { return state_->vectors; }
    std::span<const double> vector(std::size_t i) const noexcept {
        return {state_->vectors.data() + i * state_->d, state_->d};
    }

    // Up to k neighbours of q (normalised first), best first; fewer when the reached leaves hold
    // fewer candidates. A query of the wrong length is a caller error.
    Result<std::vector<Neighbor>, WrongInputDimension> query(std::span<const double> q, std::size_t k) const;
    // Up to k neighbours of stored vector i, never i itself; empty when i is out of range.
    std::vector<Neighbor> query_by_index(std::size_t i, std::size_t k) const;
    // query_by_index(i, k) for every stored vector, computed on the data-parallel pool.
    NeighborRows query_all_by_index(std::size_t k) const;

private:
    struct Node {
        double threshold = 0.0;
        std::uint32_t first = 0;   // split: row of the normal; leaf: start in the tree's order
        std::uint32_t second = 0;  // split: left child; leaf: point count
        std::uint32_t right = 0;   // split only
        bool leaf = true;
    };
    struct Tree {
        std::vector<Node> nodes;           // nodes[0] is the root
        std::vector<std::uint32_t> order;  // leaves are ranges of this permutation
        std::vector<double> normals;       // row-major, one row per split
    };
    struct State {
        AnnConfig config;
        std::size_t n = 0;
        std::size_t d = 0;
        std::vector<double> vectors;
        std::vector<Tree> trees;
    };
    struct Scratch;

    explicit AnnIndex(std::shared_ptr<const State> state) : state_(std::move(state)) {}
    static Tree build_tree(const State& state, std::uint64_t& rng);
    void query_unit(const double* q, std::size_t k, std::size_t exclude, Scratch& scratch,
                    std::vector<Neighbor>& out) const;

    std::shared_ptr<const State> state_;
};

}  // namespace korvane::projection
