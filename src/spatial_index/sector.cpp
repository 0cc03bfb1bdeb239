#include "spatial_index/sector.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace korvane::spatial_index {
namespace {

using geometry::kPi;
using geometry::kTwoPi;

[[noreturn]] void stop(const char* message) {
    std::fputs(message, stderr);
    std::fputc('\n', stderr);
    std::abort();
}

// floor(x) clamped to [0, bins - 1]; a negative or NaN x gives 0.
std::size_t bin_of(double x, std::size_t bins) noexcept {
    if (!(x > 0.0)) return 0;
    if (x >= static_cast<double>(bins)) return bins - 1;
    return std::min(bins - 1, static_cast<std::size_t>(std::floor(x)));
}

}  // namespace

Result<SectorIndex, IndexError> SectorIndex::try_new(std::size_t theta_divisions, std::size_t phi_divisions) {
    if (theta_divisions == 0) return Err{IndexError{ZeroDivisions{"theta_divisions"}}};
    if (phi_divisions == 0) return Err{IndexError{ZeroDivisions{"phi_divisions"}}};
    return SectorIndex(theta_divisions, phi_divisions);
}

SectorIndex::SectorIndex(std::size_t theta_divisions, std::size_t phi_divisions)
    : theta_divisions_(theta_divisions), phi_divisions_(phi_divisions) {
    if (theta_divisions == 0 || phi_divisions == 0) {
        stop("SectorIndex::new called with zero divisions; use try_new to handle");
    }
    // Sector numbers travel as 32-bit values inside the search's tie-break ranks.
    if (theta_divisions > std::numeric_limits<std::uint32_t>::max() / phi_divisions) {
        stop("SectorIndex::new called with more than 2^32 - 1 sectors");
    }
    const double dt = kTwoPi / static_cast<double>(theta_divisions);
    const double dp = kPi / static_cast<double>(phi_divisions);
    reach_ = 1.0 - std::cos(std::sqrt(dt * dt + dp * dp));
    const std::size_t count = theta_divisions * phi_divisions;
    centres_.reserve(count);
    for (std::size_t s = 0; s < count; ++s) centres_.push_back(geometry::unit_direction(centre(s)));
    buckets_.resize(count);
}

std::size_t SectorIndex::sector_of(double theta, double phi) const noexcept {
    const std::size_t t = bin_of(static_cast<double>(theta_divisions_) * theta / kTwoPi, theta_divisions_);
    const std::size_t p = bin_of(static_cast<double>(phi_divisions_) * phi / kPi, phi_divisions_);
    return p + phi_divisions_ * t;
}

geometry::SphericalPoint SectorIndex::centre(std::size_t s) const noexcept {
    const double t = static_cast<double>(s / phi_divisions_);
    const double p = static_cast<double>(s % phi_divisions_);
    return {1.0, (t + 0.5) * kTwoPi / static_cast<double>(theta_divisions_),
            (p + 0.5) * kPi / static_cast<double>(phi_divisions_)};
}

void SectorIndex::add(EntryId entry, std::size_t sector) { buckets_[sector].push_back(entry); }

void SectorIndex::remove(EntryId entry, std::size_t sector) {
    auto& bucket = buckets_[sector];
    const auto it = std::find(bucket.begin(), bucket.end(), entry);
    if (it != bucket.end()) bucket.erase(it);
}

std::size_t SectorIndex::select(const geometry::Vec3& query, std::size_t target,
                                std::vector<std::uint8_t>& taken) const {
    const std::size_t count = buckets_.size();
    std::vector<double> proxies(count);
    for (std::size_t s = 0; s < count; ++s) proxies[s] = proxy_distance(query, centres_[s]);
    taken.assign(count, 0);
    double margin = std::max(2.0 * reach_, 0.01);
    for (;;) {
        const double limit = reach_ + margin;
        std::size_t candidates = 0;
        for (std::size_t s = 0; s < count; ++s) {
            const bool take = proxies[s] <= limit;
            taken[s] = take ? 1 : 0;
            if (take) candidates += buckets_[s].size();
        }
        if (margin >= 2.0 || candidates >= target) return candidates;
        margin *= 2.0;
    }
}

}  // namespace korvane::spatial_index
