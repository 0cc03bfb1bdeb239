#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "category/domain_groups.hpp"
#include "common/log.hpp"
#include "fixtures.hpp"

namespace korvane::category {
namespace {

using testing::direction;
constexpr double kPi = 3.141592653589793;

std::vector<log::Event>& captured() {
    static std::vector<log::Event> events;
    return events;
}

struct CaptureLog {
    CaptureLog() {
        captured().clear();
        log::set_sink([](log::Event&& e) { captured().push_back(std::move(e)); });
    }
    ~CaptureLog() { log::set_sink(nullptr); }
};

CategorySummary summary(std::string name, geometry::SphericalPoint p, std::uint64_t members) {
    CategorySummary s;
    s.name = std::move(name);
    s.centroid_position = p;
    s.member_count = members;
    return s;
}

std::vector<CategorySummary> four_summaries() {
    return {summary("a", direction(1, 0, 0), 3), summary("b", direction(0, 1, 0), 4),
            summary("c", direction(0, 0, 1), 5), summary("d", direction(1, 1, 1), 6)};
}

geometry::VoronoiCell cell(std::uint64_t index, std::vector<std::uint64_t> neighbors) {
    return geometry::VoronoiCell{std::move(neighbors), index, 1.0};
}

// Affinities (2,3) = 0.5 + 0.5 x 0.8 = 0.9, (0,3) = 0.5 + 0.5 x 0.6 = 0.8, (0,2) = 0.5 x 0.8 =
// 0.4, everything else 0. Cell 3 lists 1, but only the lower index's cell counts.
SpatialQuality four_spatial() {
    SpatialQuality q;
    q.cap_areas = {1.0, 1.0, 1.0, 1.0};
    q.voronoi_cells = {cell(0, {3}), cell(1, {}), cell(2, {3}), cell(3, {0, 1, 2})};
    q.overlaps = {{{2, 3}, 0.8}, {{0, 3}, 0.6}, {{0, 2}, 0.8}};
    return q;
}

std::vector<std::vector<std::uint64_t>> members_of(const std::vector<DomainGroup>& groups) {
    std::vector<std::vector<std::uint64_t>> out;
    for (const auto& g : groups) out.push_back(g.member_categories);
    return out;
}

TEST(CategoryAffinity, VoronoiAndOverlapShares) {
    SpatialQuality q;
    q.cap_areas = {1.0, 0.5, 0.2};
    q.voronoi_cells = {cell(0, {1}), cell(1, {0}), cell(2, {0})};
    q.overlaps = {{{0, 1}, 0.25}, {{1, 2}, 0.4}};
    const auto a = category_affinity(3, q);
    const std::vector<double> expected = {0.0, 0.75, 0.0,  //
                                          0.75, 0.0, 0.5,  // overlap above the smaller cap counts once
                                          0.0, 0.5, 0.0};
    ASSERT_EQ(a.size(), expected.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], expected[i], 1e-15) << i;

    // A zero-area cap contributes no overlap share.
    q.cap_areas = {1.0, 0.0, 0.2};
    EXPECT_EQ(category_affinity(3, q)[1], 0.5);
}

TEST(DetectDomainGroups, AverageLinkageMergeOrder) {
    const auto summaries = four_summaries();
    const auto spatial = four_spatial();
    struct Case {
        std::uint64_t requested;
        std::vector<std::vector<std::uint64_t>> groups;
    };
    const Case cases[] = {
        {4, {{0}, {1}, {2}, {3}}},
        {3, {{0}, {1}, {2, 3}}},
        {2, {{0, 2, 3}, {1}}},  // linkage of 0 with {2, 3} is (0.4 + 0.8) / 2
        {1, {{0, 2, 3, 1}}},
        {0, {{0, 2, 3, 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        const auto groups = detect_domain_groups(summaries, spatial, c.requested);
        EXPECT_EQ(members_of(groups), c.groups);
        for (const auto& g : groups) {
            std::uint64_t total = 0;
            std::vector<std::string> names;
            for (auto m : g.member_categories) {
                total += summaries[m].member_count;
                names.push_back(summaries[m].name);
            }
            EXPECT_EQ(g.total_items, total);
            EXPECT_EQ(g.category_names, names);
        }
    }
}

TEST(DetectDomainGroups, UnrelatedCategoriesMergeInFirstPairOrder) {
    const auto summaries = four_summaries();
    SpatialQuality q;
    q.cap_areas = {0.0, 0.0, 0.0, 0.0};
    EXPECT_EQ(members_of(detect_domain_groups(summaries, q, 3)),
              (std::vector<std::vector<std::uint64_t>>{{0, 1}, {2}, {3}}));
    EXPECT_EQ(members_of(detect_domain_groups(summaries, q, 2)),
              (std::vector<std::vector<std::uint64_t>>{{0, 1, 2}, {3}}));
}

TEST(DetectDomainGroups, SingletonsWhenRequestCoversEveryCategory) {
    CaptureLog log;
    const auto summaries = four_summaries();
    const auto groups = detect_domain_groups(summaries, four_spatial(), 4);
    ASSERT_EQ(groups.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(groups[i].member_categories, (std::vector<std::uint64_t>{i}));
        EXPECT_EQ(groups[i].angular_spread, 0.0);
        EXPECT_EQ(groups[i].cohesion, 1.0);
        EXPECT_EQ(groups[i].total_items, summaries[i].member_count);
    }
    EXPECT_TRUE(captured().empty());
}

TEST(DetectDomainGroups, RequestAboveCategoryCountIsClampedWithOneWarning) {
    CaptureLog log;
    const auto groups = detect_domain_groups(four_summaries(), four_spatial(), 9);
    EXPECT_EQ(groups.size(), 4u);
    ASSERT_EQ(captured().size(), 1u);
    const auto& e = captured()[0];
    EXPECT_EQ(e.target, "korvane_embed::domain_groups");
    EXPECT_EQ(e.level, log::Level::Warn);
    ASSERT_EQ(e.fields.size(), 3u);
    EXPECT_EQ(e.fields[0].name, "requested");
    EXPECT_EQ(e.fields[0].value, log::FieldValue{std::uint64_t{9}});
    EXPECT_EQ(e.fields[1].name, "effective");
    EXPECT_EQ(e.fields[1].value, log::FieldValue{std::uint64_t{4}});
    EXPECT_EQ(e.fields[2].name, "n_categories");
    EXPECT_EQ(e.fields[2].value, log::FieldValue{std::uint64_t{4}});
    EXPECT_EQ(e.message,
              "num_domain_groups clamped to 4 (corpus has only 4 distinct categories); "
              "TuneReport.best_config.routing.num_domain_groups will show the requested value, not the realized "
              "one \u2014 compare against pipeline.domain_groups().len()");
}

TEST(DetectDomainGroups, NoCategoriesNoGroupsNoWarning) {
    CaptureLog log;
    EXPECT_TRUE(detect_domain_groups({}, SpatialQuality{}, 5).empty());
    EXPECT_TRUE(captured().empty());
}

TEST(BuildGroup, CentroidIgnoresSizes) {
    const std::vector<CategorySummary> summaries = {summary("x", direction(1, 0, 0), 1),
                                                    summary("y", direction(0, 1, 0), 100)};
    const auto g = build_group(summaries, {1, 0});
    EXPECT_EQ(g.member_categories, (std::vector<std::uint64_t>{1, 0}));
    EXPECT_EQ(g.category_names, (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(g.total_items, 101u);
    EXPECT_NEAR(g.centroid.r, 1.0, 1e-15);
    EXPECT_NEAR(g.centroid.theta, kPi / 4, 1e-15);
    EXPECT_NEAR(g.centroid.phi, kPi / 2, 1e-15);
    EXPECT_NEAR(g.angular_spread, kPi / 4, 1e-15);
    EXPECT_NEAR(g.cohesion, 1.0 / (1.0 + kPi / 4), 1e-15);
}

TEST(BuildGroup, OpposedMembersFallBackToFirstCentroid) {
    const std::vector<CategorySummary> summaries = {summary("x", direction(1, 0, 0), 2),
                                                    summary("-x", direction(-1, 0, 0), 2)};
    const auto g = build_group(summaries, {0, 1});
    EXPECT_EQ(g.centroid, summaries[0].centroid_position);
    EXPECT_NEAR(g.angular_spread, kPi / 2, 1e-15);  // (0 + pi) / 2
}

}  // namespace
}  // namespace korvane::category
