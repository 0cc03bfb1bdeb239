#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "common/random.hpp"
#include "spatial_index/sector.hpp"
#include "test_points.hpp"

namespace korvane::spatial_index {
namespace {

using testing::kPi;
using testing::kTwoPi;

TEST(SectorIndex, TryNewNamesTheZeroField) {
    const struct {
        std::size_t theta, phi;
        const char* field;
    } cases[] = {{0, 6, "theta_divisions"}, {12, 0, "phi_divisions"}, {0, 0, "theta_divisions"}};
    for (const auto& c : cases) {
        const auto made = SectorIndex::try_new(c.theta, c.phi);
        ASSERT_FALSE(made.ok());
        EXPECT_EQ(std::get<ZeroDivisions>(made.error()).field, c.field);
        EXPECT_EQ(display(made.error()), std::string(c.field) + " must be greater than zero");
    }
    const auto fine = SectorIndex::try_new(12, 6);
    ASSERT_TRUE(fine.ok());
    EXPECT_EQ(fine->sector_count(), 72u);
}

TEST(SectorIndexDeathTest, ConstructorStopsOnZeroDivisions) {
    EXPECT_DEATH(SectorIndex(0, 6), "SectorIndex::new called with zero divisions; use try_new to handle");
    EXPECT_DEATH(SectorIndex(12, 0), "SectorIndex::new called with zero divisions; use try_new to handle");
}

TEST(SectorIndex, EdgeAnglesLandInTheOuterBins) {
    const SectorIndex sectors(12, 6);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double below_two_pi = std::nextafter(kTwoPi, 0.0);
    const struct {
        double theta, phi;
        std::size_t theta_bin, phi_bin;
    } cases[] = {
        {0.0, 0.0, 0, 0},
        {0.0, kPi, 0, 5},                  // the pole phi = pi is in the last polar bin
        {below_two_pi, 1.0, 11, 1},        // just below 2 pi: last azimuth bin
        {kTwoPi, kPi, 11, 5},              // out of range clamps
        {7.0, 4.0, 11, 5},
        {-0.1, -0.1, 0, 0},                // negative products count as 0
        {nan, nan, 0, 0},                  // and so does NaN
        {std::numeric_limits<double>::infinity(), 0.2, 11, 0},
        {kPi, kPi / 2.0 + 1e-9, 6, 3},
        {kPi - 1e-9, kPi / 2.0 - 1e-9, 5, 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sectors.sector_of(c.theta, c.phi), c.phi_bin + 6 * c.theta_bin) << c.theta << " " << c.phi;
    }
}

// Bins checked by comparing against the bin edges rather than by the floor formula.
TEST(SectorIndex, NumberingMatchesBinEdges) {
    const struct {
        std::size_t theta, phi;
    } grids[] = {{12, 6}, {1, 1}, {7, 3}, {24, 13}};
    random::SplitMix64 rng{11};
    for (const auto& g : grids) {
        const SectorIndex sectors(g.theta, g.phi);
        for (int i = 0; i < 3000; ++i) {
            const double theta = kTwoPi * rng.next_f64();
            const double phi = kPi * rng.next_f64();
            std::size_t tb = 0, pb = 0;
            while (tb + 1 < g.theta && (tb + 1) * kTwoPi / g.theta <= theta) ++tb;
            while (pb + 1 < g.phi && (pb + 1) * kPi / g.phi <= phi) ++pb;
            const double to_edge_t = std::fmod(theta, kTwoPi / g.theta);
            const double to_edge_p = std::fmod(phi, kPi / g.phi);
            if (std::min(to_edge_t, kTwoPi / g.theta - to_edge_t) < 1e-12 ||
                std::min(to_edge_p, kPi / g.phi - to_edge_p) < 1e-12) {
                continue;  // rounding decides exact edges
            }
            ASSERT_EQ(sectors.sector_of(theta, phi), pb + g.phi * tb) << theta << " " << phi;
        }
    }
}

TEST(SectorIndex, CentresSitMidCellAndMapBack) {
    const SectorIndex sectors(12, 6);
    for (std::size_t s = 0; s < sectors.sector_count(); ++s) {
        const auto c = sectors.centre(s);
        EXPECT_DOUBLE_EQ(c.theta, (static_cast<double>(s / 6) + 0.5) * kPi / 6.0);
        EXPECT_DOUBLE_EQ(c.phi, (static_cast<double>(s % 6) + 0.5) * kPi / 6.0);
        EXPECT_EQ(sectors.sector_of(c.theta, c.phi), s);
        EXPECT_EQ(sectors.centre_direction(s), geometry::unit_direction(c));
    }
}

TEST(SectorIndex, SelectTakesCentresWithinTheMarginAndWidensUntilTargetMet) {
    SectorIndex sectors(12, 6);
    // Three entries in every sector.
    EntryId next = 0;
    for (std::size_t s = 0; s < sectors.sector_count(); ++s) {
        for (int i = 0; i < 3; ++i) sectors.add(next++, s);
    }
    const double dt = kTwoPi / 12, dp = kPi / 6;
    const double c = 1.0 - std::cos(std::sqrt(dt * dt + dp * dp));
    const geometry::Vec3 q = geometry::unit_direction({1.0, 0.4, 1.1});
    const auto taken_at = [&](double margin) {
        std::vector<bool> in(72);
        for (std::size_t s = 0; s < 72; ++s) in[s] = 1.0 - geometry::dot(q, sectors.centre_direction(s)) <= c + margin;
        return in;
    };
    const double margins[] = {2 * c, 4 * c, 8 * c};  // 8c > 2: the last round takes every sector
    for (const std::size_t target : {1u, 60u, 90u, 150u, 180u, 216u, 100000u}) {
        std::vector<bool> expected;
        std::size_t expected_count = 0;
        for (const double m : margins) {
            expected = taken_at(m);
            expected_count = 3 * static_cast<std::size_t>(std::count(expected.begin(), expected.end(), true));
            if (expected_count >= target) break;
        }
        std::vector<std::uint8_t> taken;
        EXPECT_EQ(sectors.select(q, target, taken), expected_count) << target;
        for (std::size_t s = 0; s < 72; ++s) EXPECT_EQ(taken[s] != 0, expected[s]) << target << " sector " << s;
    }
    std::vector<std::uint8_t> taken;
    EXPECT_EQ(sectors.select(q, 100000, taken), 216u);  // margin >= 2 takes everything
}

}  // namespace
}  // namespace korvane::spatial_index
