// Bridges: items unusually close to a foreign category's centroid, and their classification.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "category/index_pair.hpp"
#include "category/summary.hpp"
#include "common/rows.hpp"
#include "config/pipeline_config.hpp"

namespace korvane::category {

enum class BridgeClassification { Genuine, OverlapArtifact, Weak };

enum class BridgeRelation { Studies, AppliesTo, Enables, CausedBy, Contains, SharedMethod, HistoricalLink };

// "Genuine", "OverlapArtifact", "Weak".
std::string_view display_name(BridgeClassification classification);
// "studies", "applies_to", "enables", "caused_by", "contains", "shared_method", "historical_link".
std::string_view display_name(BridgeRelation relation);

struct BridgeItem {
    std::uint64_t item_index = 0;
    std::uint64_t source_category = 0;
    std::uint64_t target_category = 0;
    double affinity_to_source = 0.0;  // cosine with the source centroid
    double affinity_to_target = 0.0;  // cosine with the target centroid
    double bridge_strength = 0.0;     // harmonic mean of the affinities × pair territorial factor
    BridgeClassification classification = BridgeClassification::Weak;
    std::optional<BridgeRelation> relation;  // never inferred by the builder

    friend bool operator==(const BridgeItem&, const BridgeItem&) = default;
};

// (source, target) → that pair's bridges, strongest first. Pairs without bridges have no entry.
using BridgeMap = std::unordered_map<IndexPair, std::vector<BridgeItem>, IndexPairHash>;

// Cosine similarity of every listed row with every centroid, row-major (rows.size() × C).
// Bit-identical to geometry::cosine_similarity. Every row must have the centroids' length.
std::vector<double> centroid_similarities(const RowsView& embeddings, std::span<const std::uint64_t> rows,
                                          std::span<const CategorySummary> summaries);

// Every bridge of every member of every category, all `Weak`, each pair's list in ascending
// item order. `threshold` is the ratio the target affinity must exceed over the source affinity.
BridgeMap detect_bridges(const RowsView& embeddings, std::span<const CategorySummary> summaries,
                         std::span<const double> territorial_factors, double threshold);

// The upper median of all strengths (0 without bridges).
double bridge_strength_cut(const BridgeMap& bridges);

// Classifies (unless `evr` is below min_evr_for_classification) and sorts every pair's list
// strongest first, stably.
void classify_bridges(BridgeMap& bridges, std::span<const double> territorial_factors, double evr,
                      const config::BridgeConfig& config);

}  // namespace korvane::category
