#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/random.hpp"
#include "spatial_index/shell.hpp"
#include "spatial_index/spatial_index.hpp"

namespace korvane::spatial_index {
namespace {

ShellIndex pipeline_shells() { return SpatialIndexBuilder().uniform_shells(10, 1.0).build_shells(); }

TEST(UniformShells, AppendsCountPlusOneBoundariesMultiplyThenDivide) {
    SpatialIndexBuilder builder;
    builder.uniform_shells(10, 1.0);
    ASSERT_EQ(builder.boundaries().size(), 11u);
    for (int j = 0; j <= 10; ++j) EXPECT_EQ(builder.boundaries()[j], j * 1.0 / 10.0) << j;
    // 3 * 0.7 / 10 and 3 * (0.7 / 10) differ in the last bit.
    SpatialIndexBuilder scaled;
    scaled.uniform_shells(10, 0.7);
    EXPECT_EQ(scaled.boundaries()[3], 3.0 * 0.7 / 10.0);
    EXPECT_EQ(pipeline_shells().shell_count(), 12u);
}

TEST(UniformShells, ZeroCountAppendsNothing) {
    SpatialIndexBuilder builder;
    builder.uniform_shells(0, 1.0);
    EXPECT_TRUE(builder.boundaries().empty());
    const ShellIndex shells = builder.build_shells();
    EXPECT_EQ(shells.shell_count(), 1u);
    EXPECT_EQ(shells.shell_of(-3.0), 0u);
    EXPECT_EQ(shells.shell_of(1e300), 0u);
}

TEST(ShellIndex, PipelineShellsPlaceRadii) {
    const ShellIndex shells = pipeline_shells();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double r;
        std::size_t shell;
    } cases[] = {
        {1.0, 11},    {0.05, 1},  {0.0, 1},   {-0.25, 0}, {-1e-300, 0}, {0.1, 2},
        {0.0999, 1},  {0.95, 10}, {0.999, 10}, {5.0, 11},  {nan, 11},
        {std::numeric_limits<double>::infinity(), 11}, {-std::numeric_limits<double>::infinity(), 0},
        // Total order: -0 sorts below the +0 boundary.
        {-0.0, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(shells.shell_of(c.r), c.shell) << c.r;
}

TEST(ShellIndex, SortsAndDropsRepeatedBoundaries) {
    const ShellIndex shells = SpatialIndexBuilder().boundary(0.5).boundary(0.1).boundary(0.5).build_shells();
    EXPECT_EQ(shells.boundaries(), (std::vector<double>{0.1, 0.5}));
    EXPECT_EQ(shells.shell_count(), 3u);
    EXPECT_EQ(shells.shell_of(0.0), 0u);
    EXPECT_EQ(shells.shell_of(0.1), 1u);
    EXPECT_EQ(shells.shell_of(0.3), 1u);
    EXPECT_EQ(shells.shell_of(0.5), 2u);
}

TEST(ShellIndex, ShellIsTheCountOfBoundariesAtOrBelowTheRadius) {
    std::vector<double> boundaries;
    random::SplitMix64 rng{7};
    for (int i = 0; i < 9; ++i) boundaries.push_back(4.0 * rng.next_f64() - 2.0);
    boundaries.push_back(boundaries[3]);  // a repeat
    const ShellIndex shells{boundaries};
    ASSERT_EQ(shells.shell_count(), 10u);
    std::vector<double> radii;
    for (int i = 0; i < 2000; ++i) radii.push_back(5.0 * rng.next_f64() - 2.5);
    radii.insert(radii.end(), boundaries.begin(), boundaries.end());
    for (double r : radii) {
        std::size_t below = 0;
        for (std::size_t j = 0; j < 9; ++j) below += boundaries[j] <= r ? 1 : 0;
        ASSERT_EQ(shells.shell_of(r), below) << r;
    }
}

TEST(ShellIndex, BucketsKeepInsertionOrderAndRemoveOnlyTheEntry) {
    ShellIndex shells = pipeline_shells();
    shells.add(4, 3);
    shells.add(1, 3);
    shells.add(9, 3);
    shells.add(2, 5);
    shells.remove(1, 3);
    shells.remove(7, 3);  // absent: no effect
    EXPECT_EQ(shells.bucket(3), (std::vector<EntryId>{4, 9}));
    EXPECT_EQ(shells.bucket(5), (std::vector<EntryId>{2}));
}

}  // namespace
}  // namespace korvane::spatial_index
