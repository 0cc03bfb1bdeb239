// Region analyses on the unit sphere: spherical caps, their overlaps, sampled coverage,
// exclusivity and Voronoi cells, point density in a cap, triangle areas and curvature
// signatures. Only directions matter; radii are ignored. Areas are in steradians.
//
// Every sampled estimate draws from random::Lcg64 with a fixed seed per function, so equal
// inputs give bit-identical outputs. Functions taking parallel centre / half-angle lists use
// the first min(centres.size(), half_angles.size()) entries of each as the caps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "geometry/points.hpp"

namespace korvane::geometry {

inline constexpr double kFourPi = 12.566370614359172;

// Sampler seeds. Exclusivity of cap i starts from kExclusivitySeed + i (wrapping).
inline constexpr std::uint64_t kCoverageSeed = 0x123456789ABCDEF0ULL;
inline constexpr std::uint64_t kExclusivitySeed = 0xFEEDFACE00000001ULL;
inline constexpr std::uint64_t kVoronoiSeed = 0xDEADBEEFCAFE1337ULL;

// Inputs from this many caps (pairwise_overlaps) or points (curvature_signature) on run their
// rows on the data-parallel pool; results do not depend on the thread count.
inline constexpr std::size_t kRegionParallelThreshold = 128;

// Overlaps at or below this area are dropped by pairwise_overlaps.
inline constexpr double kMinOverlapArea = 1e-15;

// A Voronoi sample whose best and second-best dot products differ by less than this marks the
// two centres as neighbours.
inline constexpr double kVoronoiBoundaryMargin = 0.05;

// A centre direction and an angular half-width, in radians.
struct SphericalCap {
    SphericalPoint center;
    double half_angle = 0.0;

    friend bool operator==(const SphericalCap&, const SphericalCap&) = default;
};

// 2π(1 − cos h).
double cap_area(double half_angle);

struct PairwiseOverlap {
    std::uint64_t i = 0;  // i < j
    std::uint64_t j = 0;
    double area = 0.0;

    friend bool operator==(const PairwiseOverlap&, const PairwiseOverlap&) = default;
};

struct VoronoiCell {
    std::vector<std::uint64_t> neighbors;  // ascending
    std::uint64_t centroid_index = 0;
    double area = 0.0;

    friend bool operator==(const VoronoiCell&, const VoronoiCell&) = default;
};

struct CoverageReport {
    double coverage_fraction = 0.0;  // share of the sphere inside at least one cap
    double covered_area = 0.0;       // 4π · coverage_fraction
    double overlap_area = 0.0;       // 4π · share inside at least two caps
    std::uint64_t void_samples = 0;  // samples inside no cap
    std::uint64_t total_samples = 0;

    friend bool operator==(const CoverageReport&, const CoverageReport&) = default;
};

// cap_exclusivity was asked about a cap that does not exist.
struct CapIndexOutOfBounds {
    std::uint64_t index = 0;
    std::uint64_t cap_count = 0;

    friend bool operator==(const CapIndexOutOfBounds&, const CapIndexOutOfBounds&) = default;
};

// "cap_index {} out of bounds for {} caps"
std::string display(const CapIndexOutOfBounds& error);

// Exact area shared by the caps (a, ra) and (b, rb); 0 for disjoint or touching caps.
double cap_intersection_area(const SphericalPoint& a, const SphericalPoint& b, double ra, double rb);
double cap_intersection_area(const SphericalCap& a, const SphericalCap& b);

// Every pair i < j whose intersection area exceeds kMinOverlapArea, largest area first; equal
// areas keep ascending (i, j) order.
std::vector<PairwiseOverlap> pairwise_overlaps(std::span<const SphericalPoint> centers,
                                               std::span<const double> half_angles);
std::vector<PairwiseOverlap> pairwise_overlaps(std::span<const SphericalCap> caps);

// Share of the sphere inside at least one / at least two caps, from `samples` uniform
// directions (seed kCoverageSeed). Cap boundaries count as inside. All zero for 0 samples.
CoverageReport estimate_coverage(std::span<const SphericalPoint> centers,
                                 std::span<const double> half_angles, std::uint64_t samples);
CoverageReport estimate_coverage(std::span<const SphericalCap> caps, std::uint64_t samples);

// Share of cap `cap_index` inside no other cap, by rejection sampling `samples` directions over
// the whole sphere (seed kExclusivitySeed + cap_index). 1.0 when no sample falls inside the cap.
Result<double, CapIndexOutOfBounds> cap_exclusivity(std::size_t cap_index,
                                                    std::span<const SphericalPoint> centers,
                                                    std::span<const double> half_angles,
                                                    std::uint64_t samples);
Result<double, CapIndexOutOfBounds> cap_exclusivity(std::size_t cap_index,
                                                    std::span<const SphericalCap> caps,
                                                    std::uint64_t samples);
// cap_exclusivity of every cap in index order (element i equals cap_exclusivity(i, ...)).
std::vector<double> cap_exclusivities(std::span<const SphericalPoint> centers,
                                      std::span<const double> half_angles, std::uint64_t samples);

// Density of `points` inside the cap (center, half_angle) relative to a uniform spread over the
// sphere: (share of points within half_angle) / (cap area / 4π). 0 for h <= 0, no points, or a
// cap too small to measure.
double region_coherence(const SphericalPoint& center, std::span<const SphericalPoint> points,
                        double half_angle);

// Area of the spherical triangle p1 p2 p3 on the unit sphere (L'Huilier).
double spherical_excess(const SphericalPoint& p1, const SphericalPoint& p2, const SphericalPoint& p3);

// One cell per centre from `samples` uniform directions (seed kVoronoiSeed): area = 4π × share of
// samples nearest the centre (ties to the lower index); neighbours = centres that were
// second-nearest within kVoronoiBoundaryMargin of some sample. A single centre gets area 4π;
// with several centres and 0 samples every area is NaN (no estimate).
std::vector<VoronoiCell> spherical_voronoi(std::span<const SphericalPoint> centers, std::uint64_t samples);

// spherical_excess(points[anchor], points[f], points[g]) for every pair f < g not involving the
// anchor, ascending under the total order of doubles; (n−1)(n−2)/2 values. Empty when the anchor
// is out of range or there are fewer than three points.
std::vector<double> curvature_signature(std::size_t anchor, std::span<const SphericalPoint> points);

}  // namespace korvane::geometry
