#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <latch>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "spatial_index/spatial_index.hpp"
#include "test_points.hpp"

namespace korvane::spatial_index {
namespace {

using geometry::SphericalPoint;
using testing::Hit;
using testing::kPi;
using testing::kTwoPi;

std::vector<double> pipeline_boundaries() { return SpatialIndexBuilder().uniform_shells(10, 1.0).boundaries(); }

SpatialIndex<PointItem> pipeline_index(const std::vector<PointItem>& items) {
    auto index = SpatialIndexBuilder().uniform_shells(10, 1.0).theta_divisions(12).phi_divisions(6).build<PointItem>();
    for (const auto& it : items) EXPECT_TRUE(index.insert(it));
    return index;
}

std::vector<Hit> hits_of(const std::vector<NearestResult<PointItem>>& results) {
    std::vector<Hit> hits;
    for (const auto& r : results) hits.push_back({r.item.id, r.distance});
    return hits;
}

std::vector<SphericalPoint> random_queries(std::size_t n, std::uint64_t seed) {
    std::vector<SphericalPoint> queries;
    for (const auto& it : testing::random_items(n, seed, "q")) queries.push_back(it.position);
    return queries;
}

TEST(SpatialIndex, EmptyIndexFindsNothing) {
    const auto index = pipeline_index({});
    EXPECT_EQ(index.size(), 0u);
    EXPECT_TRUE(index.empty());
    EXPECT_TRUE(index.nearest({1.0, 1.0, 1.0}, 5).empty());
    EXPECT_EQ(index.get("p0"), nullptr);
    EXPECT_EQ(index.get(""), nullptr);
}

TEST(SpatialIndex, GetFindsInsertedItemsOnly) {
    const auto items = testing::random_items(40, 3);
    const auto index = pipeline_index(items);
    EXPECT_EQ(index.size(), 40u);
    for (const auto& it : items) {
        const PointItem* found = index.get(it.id);
        ASSERT_NE(found, nullptr) << it.id;
        EXPECT_EQ(*found, it);
    }
    for (const char* missing : {"p40", "p", "P1", "p1 "}) EXPECT_EQ(index.get(missing), nullptr) << missing;
}

TEST(SpatialIndex, ZeroKAndOversizedK) {
    const auto items = testing::random_items(50, 5);
    const auto index = pipeline_index(items);
    const SphericalPoint q{1.0, 2.0, 0.7};
    EXPECT_TRUE(index.nearest(q, 0).empty());
    for (const std::size_t k : {std::size_t{51}, std::size_t{1000}, std::numeric_limits<std::size_t>::max()}) {
        const auto results = index.nearest(q, k);
        ASSERT_EQ(results.size(), 50u) << k;
        EXPECT_EQ(hits_of(results), testing::brute_force(items, q, 50)) << k;
    }
}

TEST(SpatialIndex, SmallIndexMatchesBruteForce) {
    for (const std::size_t n : {1u, 2u, 17u, 499u, 500u}) {
        const auto items = testing::random_items(n, 100 + n);
        const auto index = pipeline_index(items);
        for (const auto& q : random_queries(60, 9 + n)) {
            for (const std::size_t k : {1u, 3u, 10u}) {
                ASSERT_EQ(hits_of(index.nearest(q, k)), testing::brute_force(items, q, k)) << n << " " << k;
            }
        }
    }
}

// Distances are exactly angular_distance, radius ignored; radius is kept in the item.
TEST(SpatialIndex, DistancesAreAngularDistances) {
    auto items = testing::random_items(800, 21);
    const auto index = pipeline_index(items);
    const SphericalPoint q{7.5, 0.3, 2.9};
    for (const auto& r : index.nearest(q, 25)) {
        EXPECT_EQ(r.distance, geometry::angular_distance(q, r.item.position));
        EXPECT_EQ(r.item, *index.get(r.item.id));
    }
}

TEST(SpatialIndex, LargeIndexFollowsTheSectorSearch) {
    const auto items = testing::random_items(3000, 42);
    const auto index = pipeline_index(items);
    const auto boundaries = pipeline_boundaries();
    for (const auto& q : random_queries(150, 43)) {
        for (const std::size_t k : {1u, 10u, 40u}) {
            const auto got = hits_of(index.nearest(q, k));
            ASSERT_EQ(got, testing::reference_search(items, boundaries, 12, 6, q, k)) << k;
            // Uniform data: the first sector round already covers far more than the k nearest.
            ASSERT_EQ(got, testing::brute_force(items, q, k)) << k;
        }
    }
}

// A dense cluster straddling a sector corner exercises pruning inside a few crowded sectors.
TEST(SpatialIndex, ClusteredIndexFollowsTheSectorSearch) {
    auto items = testing::cluster_items(4000, {1.0, kPi / 3.0, kPi / 3.0}, 0.05, 77);
    const auto far = testing::random_items(300, 78, "far");
    items.insert(items.end(), far.begin(), far.end());
    const auto index = pipeline_index(items);
    const auto boundaries = pipeline_boundaries();
    auto queries = random_queries(40, 79);
    for (const auto& c : testing::cluster_items(60, {1.0, kPi / 3.0, kPi / 3.0}, 0.06, 80)) queries.push_back(c.position);
    for (const auto& q : queries) {
        for (const std::size_t k : {1u, 10u, 300u}) {
            ASSERT_EQ(hits_of(index.nearest(q, k)), testing::reference_search(items, boundaries, 12, 6, q, k))
                << q.theta << " " << q.phi << " " << k;
        }
    }
}

// Few sectors hold items, so the doubling rounds run to the end.
TEST(SpatialIndex, SparseSectorsWidenTheSearch) {
    auto items = testing::cluster_items(700, {1.0, 0.2, 0.3}, 0.05, 5);
    const auto index = pipeline_index(items);
    const auto boundaries = pipeline_boundaries();
    const SphericalPoint opposite{1.0, 0.2 + kPi, kPi - 0.3};
    for (const std::size_t k : {1u, 10u, 700u, 701u}) {
        const auto got = hits_of(index.nearest(opposite, k));
        EXPECT_EQ(got, testing::reference_search(items, boundaries, 12, 6, opposite, k)) << k;
        EXPECT_EQ(got, testing::brute_force(items, opposite, k)) << k;
    }
}

// Above 500 items the search is approximate: an item in a sector that was not taken is never
// a candidate, even when it is the true nearest.
TEST(SpatialIndex, SectorsNotTakenAreNotSearched) {
    const double deg = kPi / 180.0;
    const SphericalPoint q{1.0, 15.0 * deg, 75.0 * deg};  // centre of sector (theta bin 0, phi bin 2)
    std::vector<PointItem> items;
    for (int i = 0; i < 600; ++i) {
        items.push_back({"crowd" + std::to_string(i), {0.5, (89.5 + 0.0005 * i) * deg, (89.5 - 0.0005 * i) * deg}});
    }
    items.push_back({"hidden", {0.5, 91.0 * deg, 75.0 * deg}});
    const auto index = pipeline_index(items);
    const SectorIndex& sectors = index.entries().sectors();
    std::vector<std::uint8_t> taken;
    sectors.select(geometry::unit_direction(q), 100, taken);
    ASSERT_TRUE(taken[sectors.sector_of(89.5 * deg, 89.5 * deg)]);
    ASSERT_FALSE(taken[sectors.sector_of(91.0 * deg, 75.0 * deg)]);
    ASSERT_EQ(testing::brute_force(items, q, 1)[0].id, "hidden");

    const auto got = hits_of(index.nearest(q, 1));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].id, "hidden");
    EXPECT_EQ(got, testing::reference_search(items, pipeline_boundaries(), 12, 6, q, 1));
}

TEST(SpatialIndex, NeighbourInAdjacentSectorIsFound) {
    auto items = testing::random_items(1000, 8);
    // Query just inside sector (theta bin 2, phi bin 2); its nearest item just across the theta
    // edge in bin 3.
    const double edge = 3.0 * kTwoPi / 12.0;
    const SphericalPoint q{1.0, edge - 0.001, 1.3};
    items.push_back({"across", {0.5, edge + 0.0005, 1.3}});
    const auto index = pipeline_index(items);
    const SectorIndex& sectors = index.entries().sectors();
    ASSERT_NE(sectors.sector_of(q.theta, q.phi), sectors.sector_of(edge + 0.0005, 1.3));
    const auto results = index.nearest(q, 3);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results[0].item.id, "across");
    EXPECT_EQ(results[0].distance, geometry::angular_distance(q, items.back().position));
    EXPECT_EQ(hits_of(results), testing::brute_force(items, q, 3));
}

TEST(SpatialIndex, SameDirectionDifferentRadiiAreBothAtZero) {
    const SphericalPoint dir{1.0, 1.9, 0.8};
    std::vector<PointItem> items = testing::random_items(30, 4);
    items.push_back({"near", {0.2, dir.theta, dir.phi}});
    items.push_back({"far", {0.9, dir.theta, dir.phi}});
    const auto index = pipeline_index(items);
    const auto results = index.nearest(dir, 2);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].distance, 0.0);
    EXPECT_EQ(results[1].distance, 0.0);
    EXPECT_EQ((std::set<std::string>{results[0].item.id, results[1].item.id}), (std::set<std::string>{"near", "far"}));
}

// Equal proxies keep the earlier candidate: scan order (shells ascending) up to 500 items,
// sector order then insertion order above.
TEST(SpatialIndex, TiesKeepTheEarlierCandidate) {
    const SphericalPoint dir{1.0, 4.0, 2.0};
    for (const std::size_t background : {100u, 900u}) {
        std::vector<PointItem> items = testing::random_items(background, 6);
        items.push_back({"outer-first", {0.95, dir.theta, dir.phi}});
        items.push_back({"inner-second", {0.05, dir.theta, dir.phi}});
        items.push_back({"outer-third", {0.95, dir.theta, dir.phi}});
        const auto index = pipeline_index(items);
        const auto one = index.nearest(dir, 1);
        ASSERT_EQ(one.size(), 1u);
        // Small index: the inner shell is scanned first. Large: all three share a sector and
        // the first inserted wins.
        EXPECT_EQ(one[0].item.id, background < 500 ? "inner-second" : "outer-first") << background;
        const auto two = index.nearest(dir, 2);
        ASSERT_EQ(two.size(), 2u);
        const std::set<std::string> got{two[0].item.id, two[1].item.id};
        EXPECT_EQ(got, (std::set<std::string>{"inner-second", "outer-first"})) << background;
        EXPECT_FALSE(got.count("outer-third"));
    }
}

TEST(SpatialIndex, ScanOrderIsShellsThenInsertion) {
    const auto items = testing::random_items(300, 12);
    const auto index = pipeline_index(items);
    const auto boundaries = pipeline_boundaries();
    std::vector<std::pair<std::size_t, std::string>> expected;
    for (const auto& it : items) {
        std::size_t shell = 0;
        for (double b : boundaries) shell += b <= it.position.r ? 1 : 0;
        expected.push_back({shell, it.id});
    }
    std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> got;
    index.for_each([&](const PointItem& it) { got.push_back(it.id); });
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i].second) << i;
    const auto order = index.scan_order();
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(index.item(order[i]).id, got[i]);
}

// A repeated id replaces the earlier item everywhere: one item per id, at its new place.
TEST(SpatialIndex, RepeatedIdReplacesTheEarlierItem) {
    for (const std::size_t n : {20u, 800u}) {
        auto items = testing::random_items(n, 31);
        auto index = pipeline_index(items);
        const SphericalPoint old_place = items[5].position;
        const PointItem moved{items[5].id, {0.33, geometry::wrap_azimuth(old_place.theta + kPi), kPi - old_place.phi}};
        EXPECT_FALSE(index.insert(moved));
        items[5] = moved;
        EXPECT_EQ(index.size(), n);
        ASSERT_NE(index.get(moved.id), nullptr);
        EXPECT_EQ(*index.get(moved.id), moved);
        for (const auto& q : {old_place, moved.position}) {
            const auto got = index.nearest(q, n);
            std::set<std::string> ids;
            for (const auto& r : got) ids.insert(r.item.id);
            EXPECT_EQ(ids.size(), got.size()) << "an id appears twice";
            EXPECT_EQ(hits_of(index.nearest(q, 10)), testing::reference_search(items, pipeline_boundaries(), 12, 6, q, 10));
        }
        EXPECT_EQ(index.nearest(moved.position, 1)[0].item.id, moved.id);
        std::size_t seen = 0;
        index.for_each([&](const PointItem& it) { seen += it.id == moved.id ? 1 : 0; });
        EXPECT_EQ(seen, 1u);
    }
}

TEST(SpatialIndex, InsertAfterSearchIsSeen) {
    auto items = testing::random_items(900, 14);
    auto index = pipeline_index(items);
    const SphericalPoint q{1.0, 0.8, 0.8};
    EXPECT_EQ(hits_of(index.nearest(q, 5)), testing::brute_force(items, q, 5));
    items.push_back({"late", {0.4, 0.8, 0.8}});
    ASSERT_TRUE(index.insert(items.back()));
    const auto got = index.nearest(q, 5);
    EXPECT_EQ(got[0].item.id, "late");
    EXPECT_EQ(hits_of(got), testing::brute_force(items, q, 5));
}

TEST(SpatialIndex, CopiesSearchAlike) {
    const auto items = testing::random_items(1200, 15);
    const auto index = pipeline_index(items);
    const auto q = SphericalPoint{1.0, 5.0, 0.4};
    const auto before = hits_of(index.nearest(q, 10));
    SpatialIndex<PointItem> copy = index;
    EXPECT_EQ(hits_of(copy.nearest(q, 10)), before);
    SpatialIndex<PointItem> moved = std::move(copy);
    EXPECT_EQ(hits_of(moved.nearest(q, 10)), before);
    ASSERT_TRUE(moved.insert({"new", q}));
    EXPECT_EQ(moved.nearest(q, 1)[0].item.id, "new");
    EXPECT_EQ(hits_of(index.nearest(q, 10)), before);
}

// Malformed positions must not break the search: they rank last.
TEST(SpatialIndex, NonFinitePositionsRankLast) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const std::size_t n : {10u, 700u}) {
        auto items = testing::random_items(n, 16);
        items.push_back({"nan", {0.5, nan, 1.0}});
        items.push_back({"inf", {0.5, 1.0, std::numeric_limits<double>::infinity()}});
        const auto index = pipeline_index(items);
        const auto all = index.nearest({1.0, 1.0, 1.0}, n + 2);
        ASSERT_EQ(all.size(), n + 2);
        const std::set<std::string> tail{all[n].item.id, all[n + 1].item.id};
        EXPECT_EQ(tail, (std::set<std::string>{"nan", "inf"}));
        EXPECT_EQ(index.nearest({nan, nan, nan}, 3).size(), 3u);
    }
}

TEST(SpatialIndex, ConcurrentSearchesAgree) {
    const auto items = testing::random_items(5000, 17);
    const auto queries = random_queries(64, 18);
    std::vector<std::vector<Hit>> expected;
    {
        const auto reference = pipeline_index(items);
        for (const auto& q : queries) expected.push_back(hits_of(reference.nearest(q, 10)));
    }
    const auto index = pipeline_index(items);  // its search structure is built by the first caller
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (std::size_t i = 0; i < queries.size(); ++i) {
                const std::size_t j = (i + static_cast<std::size_t>(t) * 7) % queries.size();
                if (hits_of(index.nearest(queries[j], 10)) != expected[j]) ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], 0) << t;
}

TEST(SpatialIndex, CustomGridFollowsTheSectorSearch) {
    const auto items = testing::random_items(1500, 19);
    auto index = SpatialIndexBuilder().boundary(0.5).theta_divisions(5).phi_divisions(2).build<PointItem>();
    for (const auto& it : items) ASSERT_TRUE(index.insert(it));
    for (const auto& q : random_queries(50, 20)) {
        ASSERT_EQ(hits_of(index.nearest(q, 7)), testing::reference_search(items, {0.5}, 5, 2, q, 7));
    }
}

}  // namespace
}  // namespace korvane::spatial_index
