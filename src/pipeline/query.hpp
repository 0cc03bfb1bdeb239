// The requests a built pipeline answers through its one query entry point, and their results.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "category/graph.hpp"
#include "category/inner_sphere.hpp"
#include "category/summary.hpp"
#include "pipeline/results.hpp"

namespace korvane::pipeline {

namespace request {

struct Nearest {
    std::size_t k = 0;
};
struct SimilarAbove {
    double min_cosine = 0.0;
};
struct ConceptPath {
    std::string source_id;
    std::string target_id;
    std::size_t graph_k = 0;
};
struct DetectGlobs {
    std::optional<std::size_t> k;  // absent: chosen by silhouette up to max_k
    std::size_t max_k = 0;
};
struct LocalManifold {
    std::size_t neighborhood_k = 0;
};
struct CategoryConceptPath {
    std::string source_category;
    std::string target_category;
};
struct CategoryNeighbors {
    std::string category;
    std::size_t k = 0;
};
struct DrillDown {
    std::string category;
    std::size_t k = 0;
};
struct CategoryStats {};

}  // namespace request

// Alternatives in this order; the result holds the alternative of the same index.
using PipelineQuery = std::variant<request::Nearest, request::SimilarAbove, request::ConceptPath,
                                   request::DetectGlobs, request::LocalManifold, request::CategoryConceptPath,
                                   request::CategoryNeighbors, request::DrillDown, request::CategoryStats>;

namespace output {

struct Nearest {
    std::vector<NearestResult> results;  // nearest first
    friend bool operator==(const Nearest&, const Nearest&) = default;
};
struct SimilarAbove {
    std::vector<NearestResult> results;  // scan order, not sorted by distance
    friend bool operator==(const SimilarAbove&, const SimilarAbove&) = default;
};
struct ConceptPath {
    std::optional<PathResult> path;  // absent when the items are not connected
    friend bool operator==(const ConceptPath&, const ConceptPath&) = default;
};
struct Globs {
    std::vector<GlobSummary> globs;
    friend bool operator==(const Globs&, const Globs&) = default;
};
struct Manifold {
    SlicingManifold manifold;
    friend bool operator==(const Manifold&, const Manifold&) = default;
};
struct CategoryPath {
    std::optional<category::CategoryPath> path;
    friend bool operator==(const CategoryPath&, const CategoryPath&) = default;
};
struct CategoryNeighbors {
    std::vector<category::CategorySummary> neighbors;  // cheapest edge first
    friend bool operator==(const CategoryNeighbors&, const CategoryNeighbors&) = default;
};
struct DrillDown {
    std::vector<category::DrillDownHit> hits;
    friend bool operator==(const DrillDown&, const DrillDown&) = default;
};
struct CategoryStats {
    std::vector<category::CategorySummary> summaries;  // layer order
    std::vector<category::InnerSphereReport> inner_spheres;
    friend bool operator==(const CategoryStats&, const CategoryStats&) = default;
};

}  // namespace output

using KorvaneOutput = std::variant<output::Nearest, output::SimilarAbove, output::ConceptPath, output::Globs,
                                   output::Manifold, output::CategoryPath, output::CategoryNeighbors,
                                   output::DrillDown, output::CategoryStats>;

// Category label of an item id: "s-" and an unsigned decimal (a leading '+' allowed) below
// `labels.size()` picks that item's label; anything else is "unknown".
std::string_view category_for_id(std::string_view id, std::span<const std::string> labels) noexcept;

}  // namespace korvane::pipeline
