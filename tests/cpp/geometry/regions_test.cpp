#include "geometry/regions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/parallel.hpp"
#include "geometry/conversions.hpp"
#include "geometry/distance.hpp"

namespace korvane::geometry {
namespace {

constexpr double kHalfPi = kPi / 2.0;

struct ThreadCountScope {
    explicit ThreadCountScope(std::size_t n) { parallel::set_thread_count(n); }
    ~ThreadCountScope() { parallel::set_thread_count(0); }
};

SphericalPoint at(double theta, double phi) { return {1.0, theta, phi}; }
SphericalPoint toward(double x, double y, double z) { return cartesian_to_spherical({x, y, z}); }

double closed_cap_area(double h) { return 2.0 * kPi * (1.0 - std::cos(h)); }

// Intersection area by integrating over rings around centre a: the ring at angle t from a has
// circumference 2π sin t, and the share of it within rb of b follows from the spherical law of
// cosines. Midpoint rule.
double integrated_intersection(double d, double ra, double rb) {
    constexpr int kSteps = 100000;
    const double dt = ra / kSteps;
    double sum = 0.0;
    for (int k = 0; k < kSteps; ++k) {
        const double t = (k + 0.5) * dt;
        const double c = (std::cos(rb) - std::cos(t) * std::cos(d)) / (std::sin(t) * std::sin(d));
        const double share = c <= -1.0 ? 1.0 : c >= 1.0 ? 0.0 : std::acos(c) / kPi;
        sum += share * 2.0 * kPi * std::sin(t) * dt;
    }
    return sum;
}

// The region sampler re-derived from its definition: direction k (0-based) of a fresh stream.
std::array<double, 3> sampler_direction(std::uint64_t seed, int k) {
    std::uint64_t state = seed;
    auto draw = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 33) / 2147483648.0;
    };
    std::array<double, 3> p{};
    for (int i = 0; i <= k; ++i) {
        const double a = 2.0 * kPi * draw();
        const double z = 2.0 * draw() - 1.0;
        const double r = std::sqrt(1.0 - z * z);
        p = {r * std::cos(a), r * std::sin(a), z};
    }
    return p;
}

SphericalPoint as_point(const std::array<double, 3>& p) { return toward(p[0], p[1], p[2]); }

// A cap around +z whose boundary passes exactly through one sample of a stream: sample
// `samples - 1` (never the first) has height cos(half_angle) bit for bit, and every earlier
// sample lies lower, outside the cap. The dot product of a sample with +z is its height, exactly.
struct BoundaryCase {
    std::uint64_t samples = 0;
    double half_angle = 0.0;
};

BoundaryCase boundary_case(std::uint64_t seed) {
    double highest = -2.0;
    for (int k = 0; k < 2000; ++k) {
        const double z = sampler_direction(seed, k)[2];
        if (z <= highest) continue;
        highest = z;
        if (k == 0) continue;  // keep at least one sample before the boundary one
        double h = std::acos(z);
        for (int ulp = 0; ulp < 16 && std::cos(h) != z; ++ulp) h = std::nextafter(h, std::cos(h) > z ? 4.0 : 0.0);
        if (std::cos(h) == z) return {static_cast<std::uint64_t>(k) + 1, h};
    }
    return {};
}

const SphericalPoint kNorth = {1.0, 0.0, 0.0};

// Deterministic, roughly even spread of n directions (golden-angle spiral).
std::vector<SphericalPoint> spiral(std::size_t n) {
    std::vector<SphericalPoint> out;
    for (std::size_t k = 0; k < n; ++k) {
        const double z = 1.0 - (2.0 * k + 1.0) / static_cast<double>(n);
        out.push_back(at(wrap_azimuth(2.399963229728653 * static_cast<double>(k)), std::acos(z)));
    }
    return out;
}

// Binomial share estimate: tolerance of five standard errors.
double five_sigma(double p, double n) { return 5.0 * std::sqrt(p * (1.0 - p) / n); }

TEST(CapArea, ClosedForms) {
    EXPECT_DOUBLE_EQ(cap_area(kHalfPi), 2.0 * kPi);
    EXPECT_DOUBLE_EQ(cap_area(kPi), 4.0 * kPi);
    EXPECT_DOUBLE_EQ(cap_area(0.0), 0.0);
    EXPECT_DOUBLE_EQ(kFourPi, 4.0 * kPi);
}

TEST(CapIntersectionArea, KnownGeometry) {
    const SphericalPoint pole = at(0.0, 0.0);
    const SphericalPoint off = at(0.0, 0.8);
    const double d = angular_distance(pole, off);
    const struct {
        const char* name;
        SphericalPoint a, b;
        double ra, rb, expected;
    } cases[] = {
        {"disjoint", pole, off, 0.3, 0.4, 0.0},
        {"touching", pole, off, d / 2.0, d / 2.0, 0.0},
        {"b nested in a", pole, off, 1.5, 0.3, closed_cap_area(0.3)},
        {"a nested in b", pole, off, 0.2, 1.2, closed_cap_area(0.2)},
        {"identical", off, off, 0.7, 0.7, closed_cap_area(0.7)},
        {"concentric", pole, pole, 0.4, 0.9, closed_cap_area(0.4)},
        // Centres a few ulps apart, half-angles one ulp apart: neither nesting test fires.
        {"nearly concentric", pole, at(0.0, 2e-16), 0.5, std::nextafter(0.5, 1.0), closed_cap_area(0.5)},
        {"whole-sphere cap", pole, off, kPi, 0.5, closed_cap_area(0.5)},
        // Two hemispheres d apart share a lune of angle π - d.
        {"hemispheres", pole, off, kHalfPi, kHalfPi, 2.0 * (kPi - d)},
        // Complements disjoint: the caps cover the sphere, so they share A + B - 4π.
        {"covering pair", pole, at(0.0, 3.0), 2.0, 1.5, closed_cap_area(2.0) + closed_cap_area(1.5) - 4.0 * kPi},
        {"antipodal covering pair", pole, at(0.0, kPi), 2.0, 2.0, 2.0 * closed_cap_area(2.0) - 4.0 * kPi},
        {"antipodal disjoint pair", pole, at(0.0, kPi), 1.0, 1.0, 0.0},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(cap_intersection_area(c.a, c.b, c.ra, c.rb), c.expected, 1e-12) << c.name;
        EXPECT_NEAR(cap_intersection_area(c.b, c.a, c.rb, c.ra), c.expected, 1e-12) << c.name << " swapped";
    }
}

TEST(CapIntersectionArea, CrossingCapsMatchNumericalIntegration) {
    const struct {
        double d, ra, rb;
    } cases[] = {
        {0.8, 0.6, 0.6},  // symmetric lens
        {1.0, 0.7, 0.6},  {0.5, 0.4, 0.3}, {1.5, 1.2, 1.2}, {2.5, 2.0, 1.0},
        {2.9, 1.6, 1.6},  {0.3, 2.5, 0.5}, {2.0, 1.9, 0.4}, {0.05, 0.1, 0.12},
    };
    for (const auto& c : cases) {
        const double area = cap_intersection_area(at(0.0, 0.0), at(1.0, c.d), c.ra, c.rb);
        EXPECT_NEAR(area, integrated_intersection(c.d, c.ra, c.rb), 1e-6) << c.d << " " << c.ra << " " << c.rb;
        EXPECT_LE(area, std::min(closed_cap_area(c.ra), closed_cap_area(c.rb)));
        EXPECT_GT(area, 0.0);
    }
}

TEST(CapIntersectionArea, GrowsSteadilyFromTouchingToCoincident) {
    // Two caps of 0.6 moved together from touching (d = 1.2) to coincident (d = 0).
    double previous = 0.0;
    for (int step = 0; step <= 120; ++step) {
        const double d = 1.2 - 0.01 * step;
        const double area = cap_intersection_area(at(0.0, 0.0), at(0.0, std::max(d, 0.0)), 0.6, 0.6);
        if (step == 0) {
            EXPECT_NEAR(area, 0.0, 1e-12);
        }
        EXPECT_GE(area, previous - 1e-12) << d;
        EXPECT_LE(area, closed_cap_area(0.6) + 1e-12) << d;
        previous = area;
    }
    EXPECT_NEAR(previous, closed_cap_area(0.6), 1e-12);
}

TEST(CapIntersectionArea, CapOverloadAgrees) {
    const SphericalCap a{at(0.3, 0.4), 0.5}, b{at(1.0, 0.9), 0.45};
    EXPECT_EQ(cap_intersection_area(a, b), cap_intersection_area(a.center, b.center, 0.5, 0.45));
}

TEST(PairwiseOverlaps, SortedLargestFirstWithStableTies) {
    // Caps 0 and 2 coincide; cap 1 overlaps each of them equally; cap 3 is far away.
    const std::vector<SphericalPoint> centers = {at(0.0, kHalfPi), at(0.5, kHalfPi), at(0.0, kHalfPi), at(0.0, kPi)};
    const std::vector<double> half_angles = {0.4, 0.4, 0.4, 0.2};
    const auto overlaps = pairwise_overlaps(centers, half_angles);
    ASSERT_EQ(overlaps.size(), 3u);
    EXPECT_EQ(overlaps[0].i, 0u);
    EXPECT_EQ(overlaps[0].j, 2u);
    EXPECT_NEAR(overlaps[0].area, closed_cap_area(0.4), 1e-12);
    EXPECT_EQ(overlaps[1].i, 0u);
    EXPECT_EQ(overlaps[1].j, 1u);
    EXPECT_EQ(overlaps[2].i, 1u);
    EXPECT_EQ(overlaps[2].j, 2u);
    EXPECT_EQ(overlaps[1].area, overlaps[2].area);
    EXPECT_NEAR(overlaps[1].area, integrated_intersection(0.5, 0.4, 0.4), 1e-6);
}

TEST(PairwiseOverlaps, SmallInputs) {
    const std::vector<SphericalPoint> one = {at(0.0, 0.0)};
    const std::vector<double> h1 = {1.0};
    EXPECT_TRUE(pairwise_overlaps(one, h1).empty());
    EXPECT_TRUE(pairwise_overlaps(std::span<const SphericalPoint>{}, std::span<const double>{}).empty());
    // A third centre without a half-angle is not a cap.
    const std::vector<SphericalPoint> three = {at(0.0, 0.0), at(0.0, 0.1), at(0.0, 0.05)};
    const std::vector<double> h2 = {0.3, 0.3};
    const auto overlaps = pairwise_overlaps(three, h2);
    ASSERT_EQ(overlaps.size(), 1u);
    EXPECT_EQ(overlaps[0].j, 1u);
    // Touching caps share no area and get no entry.
    const std::vector<SphericalPoint> touching = {at(0.0, 0.0), at(0.0, 1.0)};
    const double d = angular_distance(touching[0], touching[1]);
    const std::vector<double> h3 = {d / 2.0, d / 2.0};
    EXPECT_TRUE(pairwise_overlaps(touching, h3).empty());
}

TEST(PairwiseOverlaps, PoolRowsMatchSequentialAndBruteForce) {
    const std::size_t n = 150;  // above the pool threshold
    const auto centers = spiral(n);
    std::vector<double> half_angles(n);
    for (std::size_t k = 0; k < n; ++k) half_angles[k] = 0.1 + 0.3 * static_cast<double>(k % 7) / 6.0;

    std::vector<PairwiseOverlap> sequential, pooled;
    {
        ThreadCountScope one(1);
        sequential = pairwise_overlaps(centers, half_angles);
    }
    {
        ThreadCountScope two(2);
        pooled = pairwise_overlaps(centers, half_angles);
    }
    EXPECT_EQ(sequential, pooled);

    std::size_t expected_pairs = 0;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            expected_pairs += cap_intersection_area(centers[i], centers[j], half_angles[i], half_angles[j]) > 1e-15;
        }
    }
    ASSERT_EQ(pooled.size(), expected_pairs);
    ASSERT_GT(expected_pairs, 100u);
    for (std::size_t k = 0; k < pooled.size(); ++k) {
        const auto& o = pooled[k];
        ASSERT_LT(o.i, o.j);
        EXPECT_EQ(o.area, cap_intersection_area(centers[o.i], centers[o.j], half_angles[o.i], half_angles[o.j]));
        if (k > 0) {
            const auto& p = pooled[k - 1];
            ASSERT_TRUE(p.area > o.area || (p.area == o.area && (p.i < o.i || (p.i == o.i && p.j < o.j))));
        }
    }
}

TEST(EstimateCoverage, ClosedFormShares) {
    const std::uint64_t n = 20000;
    const double nd = static_cast<double>(n);
    const SphericalPoint pole = at(0.0, 0.0);
    const SphericalPoint off = at(2.0, 1.0);
    const double d = angular_distance(pole, off);
    const struct {
        const char* name;
        std::vector<SphericalPoint> centers;
        std::vector<double> half_angles;
        double covered, overlapped;  // shares of the sphere
    } cases[] = {
        {"hemisphere", {pole}, {kHalfPi}, 0.5, 0.0},
        {"small cap", {off}, {0.5}, (1.0 - std::cos(0.5)) / 2.0, 0.0},
        // Two hemispheres d apart: they overlap in a lune of angle π - d.
        {"two hemispheres", {pole, off}, {kHalfPi, kHalfPi}, (2.0 * kPi + 2.0 * d) / (4.0 * kPi),
         2.0 * (kPi - d) / (4.0 * kPi)},
        {"antipodal caps", {pole, at(0.0, kPi)}, {1.0, 1.0}, 1.0 - std::cos(1.0), 0.0},
    };
    for (const auto& c : cases) {
        const CoverageReport r = estimate_coverage(c.centers, c.half_angles, n);
        EXPECT_EQ(r.total_samples, n) << c.name;
        EXPECT_NEAR(r.coverage_fraction, c.covered, five_sigma(c.covered, nd) + 1e-12) << c.name;
        EXPECT_NEAR(r.overlap_area / (4.0 * kPi), c.overlapped, five_sigma(c.overlapped, nd) + 1e-12) << c.name;
        EXPECT_DOUBLE_EQ(r.covered_area, 4.0 * kPi * r.coverage_fraction) << c.name;
        EXPECT_EQ(static_cast<double>(r.total_samples - r.void_samples) / nd, r.coverage_fraction) << c.name;
    }
}

TEST(EstimateCoverage, EmptyInputs) {
    const CoverageReport no_caps = estimate_coverage(std::span<const SphericalPoint>{}, std::span<const double>{}, 500);
    EXPECT_EQ(no_caps.coverage_fraction, 0.0);
    EXPECT_EQ(no_caps.covered_area, 0.0);
    EXPECT_EQ(no_caps.overlap_area, 0.0);
    EXPECT_EQ(no_caps.void_samples, 500u);
    EXPECT_EQ(no_caps.total_samples, 500u);

    const std::vector<SphericalPoint> centers = {at(0.0, 0.0)};
    const std::vector<double> half_angles = {1.0};
    EXPECT_EQ(estimate_coverage(centers, half_angles, 0), CoverageReport{});
}

TEST(EstimateCoverage, UsesItsSeedAndCountsTheBoundaryAsInside) {
    // Tiny caps around the first three directions of the coverage stream catch all three samples.
    std::vector<SphericalPoint> centers;
    for (int k = 0; k < 3; ++k) centers.push_back(as_point(sampler_direction(kCoverageSeed, k)));
    const std::vector<double> tiny = {1e-3, 1e-3, 1e-3};
    EXPECT_EQ(estimate_coverage(centers, tiny, 3).coverage_fraction, 1.0);
    EXPECT_EQ(kCoverageSeed, 0x123456789ABCDEF0ULL);

    // Only the boundary sample is covered; with a strict test nothing would be.
    const BoundaryCase edge = boundary_case(kCoverageSeed);
    ASSERT_GT(edge.samples, 0u);
    const std::vector<SphericalPoint> north = {kNorth};
    const std::vector<double> boundary = {edge.half_angle};
    EXPECT_EQ(estimate_coverage(north, boundary, edge.samples).void_samples, edge.samples - 1);
    double short_of_it = edge.half_angle;
    while (std::cos(short_of_it) <= std::cos(edge.half_angle)) short_of_it = std::nextafter(short_of_it, 0.0);
    const std::vector<double> just_short = {short_of_it};
    EXPECT_EQ(estimate_coverage(north, just_short, edge.samples).void_samples, edge.samples);
}

TEST(EstimateCoverage, DeterministicAndCapOverloadAgrees) {
    const auto centers = spiral(20);
    const std::vector<double> half_angles(20, 0.35);
    const CoverageReport first = estimate_coverage(centers, half_angles, 3000);
    EXPECT_EQ(first, estimate_coverage(centers, half_angles, 3000));
    std::vector<SphericalCap> caps;
    for (const auto& c : centers) caps.push_back({c, 0.35});
    EXPECT_EQ(first, estimate_coverage(caps, 3000));
}

TEST(CapExclusivity, ClosedFormShares) {
    const std::uint64_t n = 30000;
    const double nd = static_cast<double>(n);
    const SphericalPoint pole = at(0.0, 0.0);
    const SphericalPoint off = at(1.0, 1.1);
    const double d = angular_distance(pole, off);
    // Shares of the big cap outside a small one nested in it, and of a hemisphere outside the
    // lune of angle π - d it shares with another hemisphere.
    const double ring = 1.0 - closed_cap_area(0.3) / closed_cap_area(0.9);
    const double half_lune = d / kPi;
    const struct {
        const char* name;
        std::vector<SphericalPoint> centers;
        std::vector<double> half_angles;
        std::size_t index;
        double expected, tolerance;
    } cases[] = {
        {"isolated", {pole, at(0.0, kPi)}, {0.5, 0.5}, 0, 1.0, 0.0},
        {"single cap", {off}, {0.2}, 0, 1.0, 0.0},
        {"covered by a larger cap", {off, off}, {0.5, 0.9}, 0, 0.0, 0.0},
        {"around a smaller cap", {off, at(1.0, 1.2)}, {0.9, 0.3}, 0, ring,
         five_sigma(ring, nd * (1.0 - std::cos(0.9)) / 2.0)},
        {"two hemispheres", {pole, off}, {kHalfPi, kHalfPi}, 1, half_lune, five_sigma(half_lune, nd / 2.0)},
    };
    for (const auto& c : cases) {
        const auto r = cap_exclusivity(c.index, c.centers, c.half_angles, n);
        ASSERT_TRUE(r.ok()) << c.name;
        EXPECT_NEAR(*r, c.expected, c.tolerance) << c.name;
    }
}

TEST(CapExclusivity, EdgeCases) {
    const std::vector<SphericalPoint> centers = {at(0.0, 0.0), at(0.0, 0.0), at(1.0, 2.0)};
    const std::vector<double> half_angles = {0.3, 1e-4, 0.5};
    // No sample lands in a cap of area ~3e-8.
    EXPECT_EQ(*cap_exclusivity(1, centers, half_angles, 2000), 1.0);
    EXPECT_EQ(*cap_exclusivity(0, centers, half_angles, 0), 1.0);

    const auto out_of_range = cap_exclusivity(3, centers, half_angles, 100);
    ASSERT_FALSE(out_of_range.ok());
    EXPECT_EQ(out_of_range.error(), (CapIndexOutOfBounds{3, 3}));
    EXPECT_EQ(display(out_of_range.error()), "cap_index 3 out of bounds for 3 caps");
    // Only caps with both a centre and a half-angle count.
    const std::vector<double> two = {0.3, 0.2};
    EXPECT_EQ(display(cap_exclusivity(2, centers, two, 100).error()), "cap_index 2 out of bounds for 2 caps");
}

TEST(CapExclusivity, SeedFollowsTheCapIndex) {
    // Cap 1 is a tiny cap around the first direction of its own stream, inside a huge cap 0;
    // with one sample it is hit, and that hit is shared, so its exclusivity is 0.
    const auto first = sampler_direction(kExclusivitySeed + 1, 0);
    const std::vector<SphericalPoint> centers = {as_point(first), as_point(first)};
    const std::vector<double> half_angles = {3.0, 1e-3};
    EXPECT_EQ(*cap_exclusivity(1, centers, half_angles, 1), 0.0);
    EXPECT_EQ(kExclusivitySeed, 0xFEEDFACE00000001ULL);

    // The same tiny cap at index 0 sees the stream of seed + 0 and is missed: 1.0.
    const std::vector<SphericalPoint> swapped = {as_point(first), as_point(first)};
    const std::vector<double> swapped_angles = {1e-3, 3.0};
    EXPECT_EQ(*cap_exclusivity(0, swapped, swapped_angles, 1), 1.0);
}

TEST(CapExclusivity, BoundaryCountsAsInsideForEveryCap) {
    const BoundaryCase edge = boundary_case(kExclusivitySeed);
    ASSERT_GT(edge.samples, 1u);
    const double n = static_cast<double>(edge.samples);
    // Twin caps: the boundary sample is the only one inside, and it is shared.
    const std::vector<SphericalPoint> twins = {kNorth, kNorth};
    const std::vector<double> twin_angles = {edge.half_angle, edge.half_angle};
    EXPECT_EQ(*cap_exclusivity(0, twins, twin_angles, edge.samples), 0.0);
    // The whole sphere against the boundary cap: every sample is inside, only the last shared.
    const std::vector<double> whole_and_edge = {kPi, edge.half_angle};
    EXPECT_EQ(*cap_exclusivity(0, twins, whole_and_edge, edge.samples), (n - 1.0) / n);
}

TEST(CapExclusivity, BatchMatchesSingleCallsAndIsDeterministic) {
    const auto centers = spiral(12);
    const std::vector<double> half_angles(12, 0.6);
    const auto all = cap_exclusivities(centers, half_angles, 4000);
    ASSERT_EQ(all.size(), 12u);
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(all[i], *cap_exclusivity(i, centers, half_angles, 4000));
        EXPECT_GT(all[i], 0.0);
        EXPECT_LT(all[i], 1.0);
    }
    EXPECT_EQ(all, cap_exclusivities(centers, half_angles, 4000));
}

TEST(RegionCoherence, DensityRelativeToUniform) {
    const std::vector<SphericalPoint> points = {at(0.0, 0.1), at(1.0, 0.2), at(0.0, 2.5), at(2.0, 3.0)};
    const SphericalPoint pole = at(0.0, 0.0);
    const struct {
        const char* name;
        SphericalPoint center;
        std::vector<SphericalPoint> points;
        double half_angle, expected;
    } cases[] = {
        // Half the points in half the sphere: uniform density.
        {"hemisphere", pole, points, kHalfPi, 1.0},
        // Half the points in a quarter of the sphere (cos h = 1/2).
        {"concentrated", pole, points, kPi / 3.0, 2.0},
        {"nothing inside", at(0.0, kHalfPi), {pole}, 0.5, 0.0},
        {"zero half-angle", pole, points, 0.0, 0.0},
        {"negative half-angle", pole, points, -1.0, 0.0},
        {"no points", pole, {}, 1.0, 0.0},
        // cos h rounds to 1: no measurable cap.
        {"unmeasurable cap", pole, {pole}, 1e-9, 0.0},
        {"whole sphere", pole, points, kPi, 1.0},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(region_coherence(c.center, c.points, c.half_angle), c.expected, 1e-12) << c.name;
    }
    // A point exactly at the half-angle counts as inside.
    const SphericalPoint center = at(0.4, 0.9), edge = at(2.0, 1.7);
    const std::vector<SphericalPoint> on_edge = {edge};
    const double h = angular_distance(center, edge);
    EXPECT_NEAR(region_coherence(center, on_edge, h), 2.0 / (1.0 - std::cos(h)), 1e-12);
    EXPECT_EQ(region_coherence(center, on_edge, std::nextafter(h, 0.0)), 0.0);
    // The radius of a point plays no part.
    const std::vector<SphericalPoint> far = {{7.0, 0.0, 0.1}, {0.5, 0.0, 2.5}};
    EXPECT_NEAR(region_coherence(pole, far, kHalfPi), 1.0, 1e-12);
}

TEST(SphericalExcess, KnownTriangles) {
    const SphericalPoint px = toward(1, 0, 0), py = toward(0, 1, 0), pz = toward(0, 0, 1);
    const struct {
        const char* name;
        SphericalPoint a, b, c;
        double expected, tolerance;
    } cases[] = {
        {"octant", px, py, pz, kHalfPi, 1e-12},
        // Pole and two equator points λ apart: the triangle is a λ/(2π) share of a hemisphere.
        {"polar triangle", pz, at(0.0, kHalfPi), at(1.0, kHalfPi), 1.0, 1e-12},
        {"wide polar triangle", pz, at(0.5, kHalfPi), at(3.0, kHalfPi), 2.5, 1e-12},
        {"collinear on the equator", at(0.0, kHalfPi), at(0.4, kHalfPi), at(1.3, kHalfPi), 0.0, 1e-7},
        {"collinear on a meridian", at(2.0, 0.2), at(2.0, 0.9), at(2.0, 1.4), 0.0, 1e-7},
        {"repeated vertex", px, px, py, 0.0, 1e-7},
        {"radii ignored", {3, 0, kHalfPi}, {0.2, kHalfPi, kHalfPi}, {9, 0, 0}, kHalfPi, 1e-12},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(spherical_excess(c.a, c.b, c.c), c.expected, c.tolerance) << c.name;
        EXPECT_NEAR(spherical_excess(c.c, c.a, c.b), c.expected, c.tolerance) << c.name << " rotated";
    }
}

TEST(SphericalExcess, DegenerateTrianglesNeverGoNegative) {
    // Points along one great circle within a half-turn: rounding may push one side past the sum
    // of the other two, which must read as an empty triangle.
    for (int k = 1; k < 200; ++k) {
        const double a = 0.013 * k, b = a + 0.0071 * k, c = b + 0.0049 * k;
        const double excess = spherical_excess(at(a, kHalfPi), at(b, kHalfPi), at(c, kHalfPi));
        EXPECT_GE(excess, 0.0) << k;
        EXPECT_LE(excess, 1e-7) << k;
        const double tilted = spherical_excess(at(1.0, a), at(1.0, b), at(1.0, c));
        EXPECT_GE(tilted, 0.0) << k;
        EXPECT_LE(tilted, 1e-7) << k;
    }
}

TEST(SphericalExcess, EqualsAngleSumMinusPi) {
    // Girard's theorem with the vertex angles measured between tangent vectors.
    const SphericalPoint tri[][3] = {
        {at(0.1, 0.3), at(1.2, 1.0), at(2.4, 0.7)},
        {at(0.0, 1.0), at(0.3, 1.1), at(0.1, 1.4)},
        {at(5.0, 2.0), at(0.5, 2.6), at(3.0, 1.9)},
    };
    auto tangent = [](const Vec3& from, const Vec3& to) {
        const double k = dot(from, to);
        return Vec3{to[0] - k * from[0], to[1] - k * from[1], to[2] - k * from[2]};
    };
    for (const auto& t : tri) {
        const Vec3 u[3] = {unit_direction(t[0]), unit_direction(t[1]), unit_direction(t[2])};
        double angle_sum = 0.0;
        for (int v = 0; v < 3; ++v) {
            angle_sum += angle_between(tangent(u[v], u[(v + 1) % 3]), tangent(u[v], u[(v + 2) % 3]));
        }
        EXPECT_NEAR(spherical_excess(t[0], t[1], t[2]), angle_sum - kPi, 1e-10);
    }
}

TEST(SphericalVoronoi, SmallCases) {
    EXPECT_TRUE(spherical_voronoi(std::span<const SphericalPoint>{}, 100).empty());

    const std::vector<SphericalPoint> one = {at(1.0, 1.0)};
    for (std::uint64_t n : {0u, 50u}) {
        const auto cells = spherical_voronoi(one, n);
        ASSERT_EQ(cells.size(), 1u);
        EXPECT_TRUE(cells[0].neighbors.empty());
        EXPECT_EQ(cells[0].centroid_index, 0u);
        EXPECT_EQ(cells[0].area, 4.0 * kPi);
    }

    // Without samples there is no estimate.
    const std::vector<SphericalPoint> two = {at(0.0, 0.0), at(0.0, kPi)};
    const auto empty = spherical_voronoi(two, 0);
    ASSERT_EQ(empty.size(), 2u);
    EXPECT_TRUE(std::isnan(empty[0].area));
    EXPECT_TRUE(empty[0].neighbors.empty());
}

TEST(SphericalVoronoi, AntipodalCentresSplitTheSphere) {
    const std::uint64_t n = 20000;
    const std::vector<SphericalPoint> centers = {at(0.3, 0.7), at(0.3 + kPi, kPi - 0.7)};
    const auto cells = spherical_voronoi(centers, n);
    ASSERT_EQ(cells.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(cells[i].centroid_index, i);
        EXPECT_NEAR(cells[i].area, 2.0 * kPi, 4.0 * kPi * five_sigma(0.5, n));
        EXPECT_EQ(cells[i].neighbors, (std::vector<std::uint64_t>{1 - i}));
    }
    EXPECT_NEAR(cells[0].area + cells[1].area, 4.0 * kPi, 1e-12);
}

TEST(SphericalVoronoi, OctahedronCellsAndNeighbours) {
    const std::uint64_t n = 30000;
    const std::vector<SphericalPoint> centers = {toward(0, 0, 1),  toward(1, 0, 0),  toward(0, 1, 0),
                                                 toward(-1, 0, 0), toward(0, -1, 0), toward(0, 0, -1)};
    const auto cells = spherical_voronoi(centers, n);
    ASSERT_EQ(cells.size(), 6u);
    const std::vector<std::uint64_t> expected_neighbors[6] = {
        {1, 2, 3, 4}, {0, 2, 4, 5}, {0, 1, 3, 5}, {0, 2, 4, 5}, {0, 1, 3, 5}, {1, 2, 3, 4},
    };
    double total = 0.0;
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NEAR(cells[i].area, 4.0 * kPi / 6.0, 4.0 * kPi * five_sigma(1.0 / 6.0, n)) << i;
        EXPECT_EQ(cells[i].neighbors, expected_neighbors[i]) << i;
        total += cells[i].area;
    }
    EXPECT_NEAR(total, 4.0 * kPi, 1e-12);
}

TEST(SphericalVoronoi, TiesGoToTheEarlierCentre) {
    const std::vector<SphericalPoint> centers = {at(1.0, 1.0), at(1.0, 1.0), at(4.0, 2.5)};
    const auto cells = spherical_voronoi(centers, 2000);
    EXPECT_EQ(cells[1].area, 0.0);
    EXPECT_GT(cells[0].area, 0.0);
    // Every sample near the duplicated centre has a zero margin to its twin.
    EXPECT_EQ(cells[0].neighbors, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(cells[1].neighbors, (std::vector<std::uint64_t>{0}));
}

TEST(SphericalVoronoi, SecondPlaceTiesGoToTheEarlierCentre) {
    // Centres 1 and 2 coincide. Near A's side of the A|B boundary the runner-up is 1, never 2;
    // on B's side, 1 wins and its twin 2 is the runner-up at zero margin.
    const std::vector<SphericalPoint> centers = {at(0.0, 1.0), at(0.0, 1.5), at(0.0, 1.5)};
    const auto cells = spherical_voronoi(centers, 5000);
    EXPECT_EQ(cells[0].neighbors, (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(cells[1].neighbors, (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ(cells[2].neighbors, (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(cells[2].area, 0.0);
}

TEST(SphericalVoronoi, NeighbourMarginIsOneTwentieth) {
    // One sample: centre 0 on it, centre 1 at an angle whose cosine trails by the margin given.
    const auto p = sampler_direction(kVoronoiSeed, 0);
    const Vec3 u = {p[0], p[1], p[2]};
    Vec3 w = cross(u, Vec3{0.0, 0.0, 1.0});
    const double len = norm(w);
    w = {w[0] / len, w[1] / len, w[2] / len};
    const struct {
        double margin;
        bool neighbours;
    } cases[] = {{0.01, true}, {0.045, true}, {0.055, false}, {0.3, false}};
    for (const auto& c : cases) {
        const double cos_t = 1.0 - c.margin, sin_t = std::sqrt(1.0 - cos_t * cos_t);
        const std::vector<SphericalPoint> centers = {
            as_point(p), toward(cos_t * u[0] + sin_t * w[0], cos_t * u[1] + sin_t * w[1], cos_t * u[2] + sin_t * w[2])};
        const auto cells = spherical_voronoi(centers, 1);
        EXPECT_EQ(cells[0].area, 4.0 * kPi) << c.margin;
        EXPECT_EQ(cells[0].neighbors.size(), c.neighbours ? 1u : 0u) << c.margin;
        EXPECT_EQ(cells[1].neighbors.size(), c.neighbours ? 1u : 0u) << c.margin;
    }
    EXPECT_EQ(kVoronoiBoundaryMargin, 0.05);
}

TEST(SphericalVoronoi, UsesItsSeed) {
    // Centres on the first three directions of the stream, plus three far from all of them:
    // three samples land one in each of the first three cells.
    std::vector<SphericalPoint> centers;
    std::vector<Vec3> dirs;
    for (int k = 0; k < 3; ++k) {
        const auto p = sampler_direction(kVoronoiSeed, k);
        centers.push_back(as_point(p));
        dirs.push_back({p[0], p[1], p[2]});
    }
    for (int k = 0; k < 3; ++k) centers.push_back(as_point({-dirs[k][0], -dirs[k][1], -dirs[k][2]}));
    const auto cells = spherical_voronoi(centers, 3);
    for (int k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(cells[k].area, 4.0 * kPi / 3.0) << k;
    EXPECT_EQ(kVoronoiSeed, 0xDEADBEEFCAFE1337ULL);
}

TEST(SphericalVoronoi, Deterministic) {
    const auto centers = spiral(20);
    EXPECT_EQ(spherical_voronoi(centers, 5000), spherical_voronoi(centers, 5000));
}

TEST(CurvatureSignature, PolarFanGivesLongitudeDifferences) {
    // Anchor at the pole, the rest on the equator: triangle (pole, λf, λg) has area |λg - λf|.
    const double longitudes[] = {0.0, 0.5, 1.2, 2.0};
    std::vector<SphericalPoint> points = {at(0.0, 0.0)};
    for (double l : longitudes) points.push_back(at(l, kHalfPi));
    std::vector<double> expected;
    for (int f = 0; f < 4; ++f) {
        for (int g = f + 1; g < 4; ++g) expected.push_back(longitudes[g] - longitudes[f]);
    }
    std::sort(expected.begin(), expected.end());
    const auto signature = curvature_signature(0, points);
    ASSERT_EQ(signature.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_NEAR(signature[k], expected[k], 1e-12) << k;

    // Anchored elsewhere, the anchor's own pairs are left out.
    EXPECT_EQ(curvature_signature(2, points).size(), 6u);
}

TEST(CurvatureSignature, EdgeCases) {
    const std::vector<SphericalPoint> two = {at(0.0, 0.0), at(1.0, 1.0)};
    EXPECT_TRUE(curvature_signature(0, two).empty());
    const std::vector<SphericalPoint> three = {at(0.0, 0.0), at(1.0, 1.0), at(2.0, 1.0)};
    EXPECT_TRUE(curvature_signature(3, three).empty());
    const auto single = curvature_signature(1, three);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0], spherical_excess(three[1], three[0], three[2]));
}

TEST(CurvatureSignature, PoolRowsMatchSequentialAndTheTriangleAreas) {
    const std::size_t n = 140;  // above the pool threshold
    const auto points = spiral(n);
    const std::size_t anchor = 37;
    std::vector<double> sequential, pooled;
    {
        ThreadCountScope one(1);
        sequential = curvature_signature(anchor, points);
    }
    {
        ThreadCountScope two(2);
        pooled = curvature_signature(anchor, points);
    }
    ASSERT_EQ(pooled.size(), (n - 1) * (n - 2) / 2);
    ASSERT_EQ(sequential.size(), pooled.size());
    for (std::size_t k = 0; k < pooled.size(); ++k) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(sequential[k]), std::bit_cast<std::uint64_t>(pooled[k])) << k;
    }

    std::vector<double> direct;
    for (std::size_t f = 0; f < n; ++f) {
        for (std::size_t g = f + 1; g < n; ++g) {
            if (f != anchor && g != anchor) direct.push_back(spherical_excess(points[anchor], points[f], points[g]));
        }
    }
    std::sort(direct.begin(), direct.end());
    EXPECT_EQ(direct, pooled);
    EXPECT_TRUE(std::is_sorted(pooled.begin(), pooled.end()));
}

}  // namespace
}  // namespace korvane::geometry
