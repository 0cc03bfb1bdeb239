#include "spatial_index/shell.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace korvane::spatial_index {
namespace {

// IEEE total order as a signed integer key: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
std::int64_t total_order_key(double x) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

bool total_less(double a, double b) noexcept { return total_order_key(a) < total_order_key(b); }

}  // namespace

ShellIndex::ShellIndex(std::vector<double> boundaries) : boundaries_(std::move(boundaries)) {
    std::sort(boundaries_.begin(), boundaries_.end(), total_less);
    boundaries_.erase(std::unique(boundaries_.begin(), boundaries_.end(),
                                  [](double a, double b) { return total_order_key(a) == total_order_key(b); }),
                      boundaries_.end());
    buckets_.resize(boundaries_.size() + 1);
}

std::size_t ShellIndex::shell_of(double radius) const noexcept {
    return static_cast<std::size_t>(
        std::upper_bound(boundaries_.begin(), boundaries_.end(), radius, total_less) - boundaries_.begin());
}

void ShellIndex::add(EntryId entry, std::size_t shell) { buckets_[shell].push_back(entry); }

void ShellIndex::remove(EntryId entry, std::size_t shell) {
    auto& bucket = buckets_[shell];
    const auto it = std::find(bucket.begin(), bucket.end(), entry);
    if (it != bucket.end()) bucket.erase(it);
}

}  // namespace korvane::spatial_index
