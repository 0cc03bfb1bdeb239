#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "category/bridges.hpp"
#include "common/random.hpp"
#include "fixtures.hpp"
#include "geometry/distance.hpp"

namespace korvane::category {
namespace {

using BC = BridgeClassification;

BridgeItem bridge(std::uint64_t item, std::uint64_t s, std::uint64_t t, double strength) {
    return BridgeItem{item, s, t, 0.5, 0.5, strength, BC::Weak, std::nullopt};
}

CategorySummary summary_of(std::vector<std::uint64_t> members, std::vector<double> centroid) {
    CategorySummary s;
    s.member_indices = std::move(members);
    s.member_count = s.member_indices.size();
    s.centroid = std::move(centroid);
    return s;
}

config::BridgeConfig bridge_config() {
    config::BridgeConfig b;
    b.overlap_artifact_territorial = 0.3;
    b.min_evr_for_classification = 0.2;
    return b;
}

std::vector<double> strengths(const std::vector<BridgeItem>& list) {
    std::vector<double> out;
    for (const auto& b : list) out.push_back(b.bridge_strength);
    return out;
}

std::vector<BC> classes(const std::vector<BridgeItem>& list) {
    std::vector<BC> out;
    for (const auto& b : list) out.push_back(b.classification);
    return out;
}

BridgeMap four_strengths() {
    BridgeMap m;
    m[{0, 1}] = {bridge(1, 0, 1, 0.2), bridge(2, 0, 1, 0.8)};
    m[{1, 0}] = {bridge(5, 1, 0, 0.4), bridge(6, 1, 0, 0.6)};
    return m;
}

TEST(BridgeStrengthCut, UpperMedian) {
    struct Case {
        std::vector<double> values;
        double cut;
    };
    const Case cases[] = {
        {{}, 0.0},
        {{0.7}, 0.7},
        {{0.8, 0.2, 0.6, 0.4}, 0.6},
        {{0.5, 0.1, 0.3}, 0.3},
        {{0.9, 0.9, 0.1, 0.1}, 0.9},
        {{0.2, std::numeric_limits<double>::quiet_NaN(), 0.6}, 0.6},
    };
    for (const auto& c : cases) {
        BridgeMap m;
        for (std::size_t i = 0; i < c.values.size(); ++i) m[{i % 2, 1 - i % 2}].push_back(bridge(i, 0, 1, c.values[i]));
        EXPECT_EQ(bridge_strength_cut(m), c.cut) << ::testing::PrintToString(c.values);
    }
}

TEST(ClassifyBridges, UpperMedianCutSplitsWeakFromGenuine) {
    BridgeMap m = four_strengths();
    classify_bridges(m, std::vector<double>{1.0, 1.0}, 0.9, bridge_config());
    EXPECT_EQ(strengths(m.at({0, 1})), (std::vector<double>{0.8, 0.2}));
    EXPECT_EQ(classes(m.at({0, 1})), (std::vector<BC>{BC::Genuine, BC::Weak}));
    EXPECT_EQ(strengths(m.at({1, 0})), (std::vector<double>{0.6, 0.4}));
    EXPECT_EQ(classes(m.at({1, 0})), (std::vector<BC>{BC::Genuine, BC::Weak}));
}

TEST(ClassifyBridges, LowTerritoryMarksArtifactsWhateverTheStrength) {
    struct Case {
        std::vector<double> factors;
        double artifact_threshold;
        bool artifact;
    };
    const Case cases[] = {
        {{0.04, 1.0}, 0.3, true},    // sqrt(0.04) = 0.2 < 0.3
        {{0.0, 0.0}, 0.3, true},     // floored at 0.05, still below
        {{0.25, 1.0}, 0.5, false},   // exactly at the threshold: not an artifact
        {{0.25, 1.0}, 0.51, true},
        {{0.0, 0.0}, 0.05, false},   // the floor equals the threshold
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.artifact_threshold);
        BridgeMap m = four_strengths();
        auto cfg = bridge_config();
        cfg.overlap_artifact_territorial = c.artifact_threshold;
        classify_bridges(m, c.factors, 0.9, cfg);
        const auto expected = c.artifact ? std::vector<BC>{BC::OverlapArtifact, BC::OverlapArtifact}
                                         : std::vector<BC>{BC::Genuine, BC::Weak};
        EXPECT_EQ(classes(m.at({0, 1})), expected);
        EXPECT_EQ(classes(m.at({1, 0})), expected);
    }
}

TEST(ClassifyBridges, LowEvrSkipsClassificationButStillSorts) {
    BridgeMap m = four_strengths();
    classify_bridges(m, std::vector<double>{1.0, 1.0}, 0.1999, bridge_config());
    EXPECT_EQ(classes(m.at({0, 1})), (std::vector<BC>{BC::Weak, BC::Weak}));
    EXPECT_EQ(strengths(m.at({0, 1})), (std::vector<double>{0.8, 0.2}));
    // At the threshold itself classification runs.
    BridgeMap n = four_strengths();
    classify_bridges(n, std::vector<double>{1.0, 1.0}, 0.2, bridge_config());
    EXPECT_EQ(classes(n.at({0, 1})), (std::vector<BC>{BC::Genuine, BC::Weak}));
}

TEST(ClassifyBridges, NanStrengthIsBelowTheCutAndEqualStrengthsKeepItemOrder) {
    BridgeMap m;
    m[{0, 1}] = {bridge(3, 0, 1, 0.5), bridge(4, 0, 1, std::numeric_limits<double>::quiet_NaN()),
                 bridge(7, 0, 1, 0.5), bridge(8, 0, 1, 0.1)};
    classify_bridges(m, std::vector<double>{1.0, 1.0}, 1.0, bridge_config());
    // Ascending total order: 0.1, 0.5, 0.5, NaN -> cut at position 2 is 0.5.
    const auto& list = m.at({0, 1});
    ASSERT_EQ(list.size(), 4u);
    std::vector<std::uint64_t> items;
    for (const auto& b : list) items.push_back(b.item_index);
    EXPECT_EQ(items, (std::vector<std::uint64_t>{4, 3, 7, 8}));
    EXPECT_EQ(classes(list), (std::vector<BC>{BC::Weak, BC::Genuine, BC::Genuine, BC::Weak}));
}

TEST(CentroidSimilarities, BitIdenticalToCosineSimilarity) {
    for (const std::size_t categories : {1u, 3u, 7u, 16u, 21u}) {
        SCOPED_TRACE(categories);
        const std::size_t d = 13, n = 40;
        std::uint64_t state = 99 + categories;
        const auto values = random::gaussian_vector(state, n * d);
        const RowsView rows{values.data(), n, d, nullptr};
        std::vector<CategorySummary> summaries;
        for (std::size_t c = 0; c < categories; ++c) summaries.push_back(summary_of({}, random::gaussian_vector(state, d)));
        summaries[0].centroid.assign(d, 0.0);  // a zero centroid has similarity 0 with everything
        std::vector<std::uint64_t> picked;
        for (std::uint64_t i = 0; i < n; i += 3) picked.push_back(i);
        const auto sims = centroid_similarities(rows, picked, summaries);
        ASSERT_EQ(sims.size(), picked.size() * categories);
        for (std::size_t r = 0; r < picked.size(); ++r)
            for (std::size_t c = 0; c < categories; ++c) {
                const double expected = *geometry::cosine_similarity(rows[picked[r]], summaries[c].centroid);
                ASSERT_EQ(sims[r * categories + c], expected) << r << " " << c;
            }
        EXPECT_EQ(sims[0], 0.0);
    }
}

// Centroids along x and along (3, 4, 0): every member has cosine exactly 1 with its own
// centroid and exactly 3/5 with the other.
struct TriangleCase {
    testing::Corpus corpus;
    std::vector<CategorySummary> summaries;
    TriangleCase() {
        corpus.add("a", {1, 0, 0});
        corpus.add("b", {3, 4, 0});
        corpus.add("a", {2, 0, 0});
        corpus.add("b", {6, 8, 0});
        summaries = {summary_of({0, 2}, {1.5, 0, 0}), summary_of({1, 3}, {4.5, 6, 0})};
    }
};

TEST(DetectBridges, TargetAffinityMustStrictlyExceedThresholdTimesSource) {
    TriangleCase t;
    EXPECT_TRUE(detect_bridges(t.corpus.rows(), t.summaries, std::vector<double>{1.0, 1.0}, 0.6).empty());

    const auto m = detect_bridges(t.corpus.rows(), t.summaries, std::vector<double>{1.0, 0.25}, 0.59);
    ASSERT_EQ(m.size(), 2u);
    const double harmonic = 2 * 1.0 * 0.6 / 1.6;  // 0.75
    const double territorial = 0.5;             // sqrt(1 × 0.25)
    for (const auto& [pair, list] : m) {
        ASSERT_EQ(list.size(), 2u);
        for (const auto& b : list) {
            EXPECT_EQ(b.source_category, pair.first);
            EXPECT_EQ(b.target_category, pair.second);
            EXPECT_NE(b.source_category, b.target_category);
            EXPECT_DOUBLE_EQ(b.affinity_to_source, 1.0);
            EXPECT_DOUBLE_EQ(b.affinity_to_target, 0.6);
            EXPECT_DOUBLE_EQ(b.bridge_strength, harmonic * territorial);
            EXPECT_EQ(b.classification, BC::Weak);
            EXPECT_FALSE(b.relation.has_value());
        }
    }
    EXPECT_EQ(m.at({0, 1})[0].item_index, 0u);
    EXPECT_EQ(m.at({0, 1})[1].item_index, 2u);
    EXPECT_EQ(m.at({1, 0})[0].item_index, 1u);
    EXPECT_EQ(m.at({1, 0})[1].item_index, 3u);
}

TEST(DetectBridges, NonPositiveAffinitiesNeverBridge) {
    // Centroids x (a) and y (b); a threshold of -5 lets every sign test decide alone.
    testing::Corpus c;
    c.add("a", {1, 1, 0});   // u = v = 1/sqrt(2): bridges
    c.add("a", {0, 0, 0});   // zero embedding: u = 0
    c.add("a", {-1, 1, 0});  // u < 0 although v > 0
    c.add("b", {1, 0, 0});   // u = 0 although v = 1
    c.add("b", {-1, 1, 0});  // u > 0, v < 0 (v > -5u, but not positive)
    const std::vector<CategorySummary> summaries = {summary_of({0, 1, 2}, {1, 0, 0}), summary_of({3, 4}, {0, 1, 0})};
    const auto m = detect_bridges(c.rows(), summaries, std::vector<double>{1.0, 1.0}, -5.0);
    ASSERT_EQ(m.size(), 1u);
    const auto& list = m.at({0, 1});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].item_index, 0u);
    EXPECT_NEAR(list[0].affinity_to_source, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(list[0].affinity_to_target, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(list[0].bridge_strength, std::sqrt(0.5), 1e-15);  // harmonic mean of equal values
}

TEST(DetectBridges, OneCategoryHasNoBridges) {
    TriangleCase t;
    EXPECT_TRUE(detect_bridges(t.corpus.rows(), std::span(t.summaries).first(1), std::vector<double>{1.0}, -5).empty());
}

TEST(BridgeNames, DisplayNames) {
    EXPECT_EQ(display_name(BC::Genuine), "Genuine");
    EXPECT_EQ(display_name(BC::OverlapArtifact), "OverlapArtifact");
    EXPECT_EQ(display_name(BC::Weak), "Weak");
    using R = BridgeRelation;
    const std::pair<R, const char*> names[] = {{R::Studies, "studies"},         {R::AppliesTo, "applies_to"},
                                               {R::Enables, "enables"},         {R::CausedBy, "caused_by"},
                                               {R::Contains, "contains"},       {R::SharedMethod, "shared_method"},
                                               {R::HistoricalLink, "historical_link"}};
    for (const auto& [r, name] : names) EXPECT_EQ(display_name(r), name);
}

}  // namespace
}  // namespace korvane::category
