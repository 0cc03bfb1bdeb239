#include "geometry/regions.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "common/number_format.hpp"
#include "common/parallel.hpp"
#include "common/random.hpp"
#include "geometry/distance.hpp"

namespace korvane::geometry {
namespace {

// Rows per pool chunk: rows shrink towards the end, so keep chunks small enough to balance.
constexpr std::size_t kRowGrain = 8;

// Caps flattened for the sampling loops: unit centres and cosines of the half-angles, so a
// containment test is one dot product and one comparison.
struct PreparedCaps {
    std::vector<double> x, y, z, cos_h;

    std::size_t size() const { return cos_h.size(); }
    double dot_with(std::size_t k, const std::array<double, 3>& p) const {
        return p[0] * x[k] + p[1] * y[k] + p[2] * z[k];
    }
};

PreparedCaps prepare(std::span<const SphericalPoint> centers, std::span<const double> half_angles) {
    const std::size_t n = std::min(centers.size(), half_angles.size());
    PreparedCaps caps;
    caps.x.resize(n);
    caps.y.resize(n);
    caps.z.resize(n);
    caps.cos_h.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
        const Vec3 u = unit_direction(centers[k]);
        caps.x[k] = u[0];
        caps.y[k] = u[1];
        caps.z[k] = u[2];
        caps.cos_h[k] = std::cos(half_angles[k]);
    }
    return caps;
}

void split_caps(std::span<const SphericalCap> caps, std::vector<SphericalPoint>& centers,
                std::vector<double>& half_angles) {
    centers.reserve(caps.size());
    half_angles.reserve(caps.size());
    for (const SphericalCap& cap : caps) {
        centers.push_back(cap.center);
        half_angles.push_back(cap.half_angle);
    }
}

struct CapAngles {
    double h, cos_h, sin_h;
};

CapAngles cap_angles(double h) { return {h, std::cos(h), std::sin(h)}; }

double cap_area_from_cos(double cos_h) { return kTwoPi * (1.0 - cos_h); }

// Intersection of two caps whose centres are d apart.
double intersection_area(double d, const CapAngles& a, const CapAngles& b) {
    const double ra = a.h, rb = b.h;
    if (d >= ra + rb) return 0.0;
    if (ra >= rb + d) return cap_area_from_cos(b.cos_h);
    if (rb >= ra + d) return cap_area_from_cos(a.cos_h);
    // From ra + rb + d >= 2π on the complements are disjoint: the caps cover the sphere, share
    // A + B - 4π, and the crossing triangle below does not exist (its sides would pass 2π).
    const double union_whole = std::max(0.0, cap_area_from_cos(a.cos_h) + cap_area_from_cos(b.cos_h) - kFourPi);
    if (ra + rb + d >= kTwoPi) return union_whole;
    const double cos_d = std::cos(d), sin_d = std::sin(d);
    if (std::fabs(sin_d) < 1e-15) {
        // Concentric (d ≈ 0): the smaller cap; antipodal (d ≈ π): the band left by the complements.
        if (d < kPi / 2) return cap_area_from_cos(std::max(a.cos_h, b.cos_h));
        return union_whole;
    }
    const double alpha = std::acos(std::clamp((b.cos_h - cos_d * a.cos_h) / (sin_d * a.sin_h), -1.0, 1.0));
    const double beta = std::acos(std::clamp((a.cos_h - cos_d * b.cos_h) / (sin_d * b.sin_h), -1.0, 1.0));
    // Excess of the triangle (centre a, centre b, crossing point), L'Huilier.
    const double s = (ra + rb + d) / 2.0;
    const double t = std::tan(s / 2.0) * std::tan((s - ra) / 2.0) * std::tan((s - rb) / 2.0) * std::tan((s - d) / 2.0);
    const double excess = 4.0 * std::atan(std::sqrt(std::max(t, 0.0)));
    // Two cap sectors minus the kite of the centres and both crossing points.
    return 2.0 * alpha * (1.0 - a.cos_h) + 2.0 * beta * (1.0 - b.cos_h) - 2.0 * excess;
}

double excess_from_sides(double a, double b, double c) {
    const double s = (a + b + c) / 2.0;
    const double t = std::tan(s / 2.0) * std::tan((s - a) / 2.0) * std::tan((s - b) / 2.0) * std::tan((s - c) / 2.0);
    if (t < 0.0) return 0.0;
    return 4.0 * std::atan(std::sqrt(t));
}

// Maps a double onto a signed integer whose order is the IEEE total order; its own inverse.
std::int64_t total_order_key(std::int64_t bits) {
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

double cap_area(double half_angle) { return cap_area_from_cos(std::cos(half_angle)); }

std::string display(const CapIndexOutOfBounds& error) {
    return "cap_index " + format_display(error.index) + " out of bounds for " +
           format_display(error.cap_count) + " caps";
}

double cap_intersection_area(const SphericalPoint& a, const SphericalPoint& b, double ra, double rb) {
    const double d = angle_between(unit_direction(a), unit_direction(b));
    return intersection_area(d, cap_angles(ra), cap_angles(rb));
}

double cap_intersection_area(const SphericalCap& a, const SphericalCap& b) {
    return cap_intersection_area(a.center, b.center, a.half_angle, b.half_angle);
}

std::vector<PairwiseOverlap> pairwise_overlaps(std::span<const SphericalPoint> centers,
                                               std::span<const double> half_angles) {
    const std::size_t n = std::min(centers.size(), half_angles.size());
    if (n < 2) return {};
    std::vector<Vec3> units(n);
    std::vector<CapAngles> angles(n);
    for (std::size_t k = 0; k < n; ++k) {
        units[k] = unit_direction(centers[k]);
        angles[k] = cap_angles(half_angles[k]);
    }
    // One output list per chunk, concatenated in chunk order: the pair order, and so the stable
    // sort below, is the same for any thread count.
    std::vector<std::vector<PairwiseOverlap>> per_chunk(parallel::chunk_count(n, kRowGrain));
    parallel::for_each_chunk(
        n, kRowGrain,
        [&](std::size_t chunk, std::size_t begin, std::size_t end) {
            auto& out = per_chunk[chunk];
            for (std::size_t i = begin; i < end; ++i) {
                for (std::size_t j = i + 1; j < n; ++j) {
                    const double area = intersection_area(angle_between(units[i], units[j]), angles[i], angles[j]);
                    if (area > kMinOverlapArea) out.push_back({i, j, area});
                }
            }
        },
        kRegionParallelThreshold);
    std::vector<PairwiseOverlap> overlaps;
    std::size_t total = 0;
    for (const auto& part : per_chunk) total += part.size();
    overlaps.reserve(total);
    for (const auto& part : per_chunk) overlaps.insert(overlaps.end(), part.begin(), part.end());
    std::stable_sort(overlaps.begin(), overlaps.end(),
                     [](const PairwiseOverlap& l, const PairwiseOverlap& r) { return l.area > r.area; });
    return overlaps;
}

std::vector<PairwiseOverlap> pairwise_overlaps(std::span<const SphericalCap> caps) {
    std::vector<SphericalPoint> centers;
    std::vector<double> half_angles;
    split_caps(caps, centers, half_angles);
    return pairwise_overlaps(centers, half_angles);
}

CoverageReport estimate_coverage(std::span<const SphericalPoint> centers,
                                 std::span<const double> half_angles, std::uint64_t samples) {
    if (samples == 0) return {};
    const PreparedCaps caps = prepare(centers, half_angles);
    const std::size_t count = caps.size();
    random::Lcg64 rng{kCoverageSeed};
    std::uint64_t covered = 0, overlapped = 0;
    for (std::uint64_t s = 0; s < samples; ++s) {
        const auto p = rng.random_direction();
        // Branch-free so the loop vectorises; stopping at two hits is slower.
        std::size_t inside = 0;
        for (std::size_t k = 0; k < count; ++k) inside += caps.cos_h[k] <= caps.dot_with(k, p);
        covered += inside >= 1;
        overlapped += inside >= 2;
    }
    const double n = static_cast<double>(samples);
    CoverageReport report;
    report.coverage_fraction = static_cast<double>(covered) / n;
    report.covered_area = kFourPi * static_cast<double>(covered) / n;
    report.overlap_area = kFourPi * static_cast<double>(overlapped) / n;
    report.void_samples = samples - covered;
    report.total_samples = samples;
    return report;
}

CoverageReport estimate_coverage(std::span<const SphericalCap> caps, std::uint64_t samples) {
    std::vector<SphericalPoint> centers;
    std::vector<double> half_angles;
    split_caps(caps, centers, half_angles);
    return estimate_coverage(centers, half_angles, samples);
}

namespace {

double exclusivity_of(const PreparedCaps& caps, std::size_t index, std::uint64_t samples) {
    random::Lcg64 rng{kExclusivitySeed + index};
    const std::size_t count = caps.size();
    std::uint64_t inside = 0, exclusive = 0;
    for (std::uint64_t s = 0; s < samples; ++s) {
        const auto p = rng.random_direction();
        // Written as "not outside" so the boundary counts as inside.
        if (caps.cos_h[index] > caps.dot_with(index, p)) continue;
        ++inside;
        bool shared = false;
        for (std::size_t k = 0; k < count && !shared; ++k) {
            shared = k != index && !(caps.cos_h[k] > caps.dot_with(k, p));
        }
        exclusive += !shared;
    }
    if (inside == 0) return 1.0;
    return static_cast<double>(exclusive) / static_cast<double>(inside);
}

}  // namespace

Result<double, CapIndexOutOfBounds> cap_exclusivity(std::size_t cap_index,
                                                    std::span<const SphericalPoint> centers,
                                                    std::span<const double> half_angles,
                                                    std::uint64_t samples) {
    const std::size_t count = std::min(centers.size(), half_angles.size());
    if (cap_index >= count) return Err{CapIndexOutOfBounds{cap_index, count}};
    return exclusivity_of(prepare(centers, half_angles), cap_index, samples);
}

Result<double, CapIndexOutOfBounds> cap_exclusivity(std::size_t cap_index,
                                                    std::span<const SphericalCap> caps,
                                                    std::uint64_t samples) {
    std::vector<SphericalPoint> centers;
    std::vector<double> half_angles;
    split_caps(caps, centers, half_angles);
    return cap_exclusivity(cap_index, centers, half_angles, samples);
}

std::vector<double> cap_exclusivities(std::span<const SphericalPoint> centers,
                                      std::span<const double> half_angles, std::uint64_t samples) {
    const PreparedCaps caps = prepare(centers, half_angles);
    std::vector<double> out(caps.size());
    for (std::size_t i = 0; i < caps.size(); ++i) out[i] = exclusivity_of(caps, i, samples);
    return out;
}

double region_coherence(const SphericalPoint& center, std::span<const SphericalPoint> points,
                        double half_angle) {
    if (half_angle <= 0.0 || points.empty()) return 0.0;
    const Vec3 c = unit_direction(center);
    std::size_t inside = 0;
    for (const SphericalPoint& p : points) inside += angle_between(c, unit_direction(p)) <= half_angle;
    const double cap_share = cap_area(half_angle) / kFourPi;
    if (cap_share < kEpsilon) return 0.0;
    return (static_cast<double>(inside) / static_cast<double>(points.size())) / cap_share;
}

double spherical_excess(const SphericalPoint& p1, const SphericalPoint& p2, const SphericalPoint& p3) {
    const Vec3 u1 = unit_direction(p1), u2 = unit_direction(p2), u3 = unit_direction(p3);
    return excess_from_sides(angle_between(u2, u3), angle_between(u1, u3), angle_between(u1, u2));
}

std::vector<VoronoiCell> spherical_voronoi(std::span<const SphericalPoint> centers, std::uint64_t samples) {
    const std::size_t count = centers.size();
    if (count == 0) return {};
    if (count == 1) return {VoronoiCell{{}, 0, kFourPi}};

    std::vector<double> cx(count), cy(count), cz(count);
    for (std::size_t k = 0; k < count; ++k) {
        const Vec3 u = unit_direction(centers[k]);
        cx[k] = u[0];
        cy[k] = u[1];
        cz[k] = u[2];
    }
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    constexpr double kLowest = -std::numeric_limits<double>::infinity();
    std::vector<std::uint64_t> hits(count, 0);
    std::vector<unsigned char> adjacent(count * count, 0);
    random::Lcg64 rng{kVoronoiSeed};
    for (std::uint64_t s = 0; s < samples; ++s) {
        const auto p = rng.random_direction();
        std::size_t best = kNone, second = kNone;
        double best_dot = kLowest, second_dot = kLowest;
        for (std::size_t k = 0; k < count; ++k) {
            const double d = p[0] * cx[k] + p[1] * cy[k] + p[2] * cz[k];
            if (d > best_dot) {
                second = best;
                second_dot = best_dot;
                best = k;
                best_dot = d;
            } else if (d > second_dot) {
                second = k;
                second_dot = d;
            }
        }
        // Only centres with non-finite directions can leave these unset.
        if (best == kNone) continue;
        ++hits[best];
        if (second != kNone && best_dot - second_dot < kVoronoiBoundaryMargin) {
            adjacent[best * count + second] = 1;
            adjacent[second * count + best] = 1;
        }
    }

    const double n = static_cast<double>(samples);
    std::vector<VoronoiCell> cells(count);
    for (std::size_t i = 0; i < count; ++i) {
        VoronoiCell& cell = cells[i];
        for (std::size_t j = 0; j < count; ++j) {
            if (adjacent[i * count + j]) cell.neighbors.push_back(j);
        }
        cell.centroid_index = i;
        cell.area = static_cast<double>(hits[i]) * kFourPi / n;
    }
    return cells;
}

std::vector<double> curvature_signature(std::size_t anchor, std::span<const SphericalPoint> points) {
    const std::size_t n = points.size();
    if (anchor >= n || n < 3) return {};
    std::vector<Vec3> units(n);
    for (std::size_t k = 0; k < n; ++k) units[k] = unit_direction(points[k]);
    std::vector<double> to_anchor(n);
    for (std::size_t k = 0; k < n; ++k) to_anchor[k] = angle_between(units[anchor], units[k]);

    // Row f holds the pairs (f, g > f), anchor excluded; rows write disjoint slots.
    std::vector<std::size_t> row_start(n + 1, 0);
    for (std::size_t f = 0; f < n; ++f) {
        const std::size_t len = f == anchor ? 0 : (n - 1 - f) - (anchor > f ? 1 : 0);
        row_start[f + 1] = row_start[f] + len;
    }
    std::vector<double> values(row_start[n]);
    parallel::for_each_chunk(
        n, kRowGrain,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t f = begin; f < end; ++f) {
                if (f == anchor) continue;
                std::size_t slot = row_start[f];
                for (std::size_t g = f + 1; g < n; ++g) {
                    if (g == anchor) continue;
                    // Same side order as spherical_excess(anchor, f, g), so the same bits.
                    values[slot++] = excess_from_sides(angle_between(units[f], units[g]), to_anchor[g], to_anchor[f]);
                }
            }
        },
        kRegionParallelThreshold);

    std::vector<std::int64_t> keys(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) keys[k] = total_order_key(std::bit_cast<std::int64_t>(values[k]));
    std::sort(keys.begin(), keys.end());
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = std::bit_cast<double>(total_order_key(keys[k]));
    return values;
}

}  // namespace korvane::geometry
