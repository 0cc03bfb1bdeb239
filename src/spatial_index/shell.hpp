// Radial shells: items bucketed by radius, for lookup by id.
#pragma once

#include <cstddef>
#include <vector>

#include "spatial_index/item.hpp"

namespace korvane::spatial_index {

class ShellIndex {
public:
    // Boundaries in any order; sorted by the total order of doubles, repeats dropped.
    explicit ShellIndex(std::vector<double> boundaries);

    const std::vector<double>& boundaries() const noexcept { return boundaries_; }
    // One more than the boundaries: below the first, between each pair, at or above the last.
    std::size_t shell_count() const noexcept { return buckets_.size(); }
    // The number of boundaries b with b <= radius in the total order: a radius equal to a
    // boundary lands above it, a NaN radius in the last shell.
    std::size_t shell_of(double radius) const noexcept;

    // Entries of shell s in insertion order.
    const std::vector<EntryId>& bucket(std::size_t s) const noexcept { return buckets_[s]; }

    void add(EntryId entry, std::size_t shell);
    void remove(EntryId entry, std::size_t shell);

private:
    std::vector<double> boundaries_;
    std::vector<std::vector<EntryId>> buckets_;
};

}  // namespace korvane::spatial_index
