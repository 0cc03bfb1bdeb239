// Angular sectors: items bucketed by direction on a theta x phi grid, for the neighbour search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/result.hpp"
#include "geometry/distance.hpp"
#include "spatial_index/error.hpp"
#include "spatial_index/item.hpp"

namespace korvane::spatial_index {

class SectorIndex {
public:
    // Zero divisions fail, theta checked first.
    static Result<SectorIndex, IndexError> try_new(std::size_t theta_divisions, std::size_t phi_divisions);
    // For callers that guarantee non-zero divisions: zero (or a grid too large to number) is a
    // programming error and stops the process.
    SectorIndex(std::size_t theta_divisions, std::size_t phi_divisions);

    std::size_t theta_divisions() const noexcept { return theta_divisions_; }
    std::size_t phi_divisions() const noexcept { return phi_divisions_; }
    std::size_t sector_count() const noexcept { return buckets_.size(); }

    // phi_bin + P * theta_bin; out-of-range angles clamp into the grid, NaN counts as 0.
    std::size_t sector_of(double theta, double phi) const noexcept;
    // Centre of sector s on the unit sphere, and its direction.
    geometry::SphericalPoint centre(std::size_t s) const noexcept;
    const geometry::Vec3& centre_direction(std::size_t s) const noexcept { return centres_[s]; }

    // Entries of sector s in insertion order.
    const std::vector<EntryId>& bucket(std::size_t s) const noexcept { return buckets_[s]; }

    void add(EntryId entry, std::size_t sector);
    void remove(EntryId entry, std::size_t sector);

    // The sectors the neighbour search draws candidates from: every sector whose centre lies
    // within c + margin (as 1 - cos) of `query`, doubling the margin until the taken sectors hold
    // at least `target` entries or every sector is taken. Sets taken[s] to 1 for those sectors
    // (taken is resized to sector_count()) and returns how many entries they hold.
    std::size_t select(const geometry::Vec3& query, std::size_t target, std::vector<std::uint8_t>& taken) const;

private:
    std::size_t theta_divisions_;
    std::size_t phi_divisions_;
    double reach_;  // 1 - cos of the diagonal of one grid cell
    std::vector<geometry::Vec3> centres_;
    std::vector<std::vector<EntryId>> buckets_;
};

// dot clamped to [-1, 1], NaN counting as -1 (antipodal), so a malformed direction sorts last
// instead of poisoning comparisons. Plain comparisons: std::fmin/fmax are library calls here.
inline double clamped_cosine(double dot) noexcept {
    if (!(dot >= -1.0)) return -1.0;
    return dot > 1.0 ? 1.0 : dot;
}

// 1 - cos of the angle between two unit directions, in [0, 2].
inline double proxy_distance(const geometry::Vec3& u, const geometry::Vec3& v) noexcept {
    return 1.0 - clamped_cosine(geometry::dot(u, v));
}

}  // namespace korvane::spatial_index
