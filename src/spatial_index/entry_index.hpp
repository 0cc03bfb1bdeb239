// Where every entry sits: its shell, its sector and its cached unit direction, and the neighbour
// search over them. The item-typed index on top of it owns the items and their ids.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "geometry/distance.hpp"
#include "spatial_index/item.hpp"
#include "spatial_index/sector.hpp"
#include "spatial_index/shell.hpp"

namespace korvane::spatial_index {

class DirectionTree;

// One neighbour: the entry and its angular distance from the query, in radians.
struct EntryHit {
    EntryId entry;
    double distance;
};

// Up to this many entries the search scans everything and is exact; above it, it draws
// candidates from the sectors around the query.
inline constexpr std::size_t kExhaustiveLimit = 500;

class EntryIndex {
public:
    EntryIndex(ShellIndex shells, SectorIndex sectors);
    ~EntryIndex();
    EntryIndex(const EntryIndex& other);
    EntryIndex& operator=(const EntryIndex& other);
    // A moved-from index may only be destroyed or assigned to.
    EntryIndex(EntryIndex&&) noexcept;
    EntryIndex& operator=(EntryIndex&&) noexcept;

    std::size_t size() const noexcept { return directions_.size(); }
    const ShellIndex& shells() const noexcept { return shells_; }
    const SectorIndex& sectors() const noexcept { return sectors_; }
    std::size_t shell_of(EntryId e) const noexcept { return shell_of_[e]; }
    std::size_t sector_of(EntryId e) const noexcept { return sector_of_[e]; }
    const geometry::Vec3& direction(EntryId e) const noexcept { return directions_[e]; }

    // Places entry `e` at `position`: e == size() appends a new entry; a smaller e moves an
    // existing one, which then counts as inserted last. Requires exclusive access.
    void place(EntryId e, const geometry::SphericalPoint& position);

    void reserve(std::size_t n);

    // Shells in ascending order, entries of a shell in insertion order.
    std::vector<EntryId> scan_order() const;
    template <class F>
    void for_each_in_scan_order(F&& f) const {
        for (std::size_t s = 0; s < shells_.shell_count(); ++s) {
            for (const EntryId e : shells_.bucket(s)) f(e);
        }
    }

    // At most k entries by increasing angular distance from `query` (radius ignored); equal
    // distances keep the candidate order. Safe to call concurrently.
    std::vector<EntryHit> nearest(const geometry::SphericalPoint& query, std::size_t k) const;

    // Builds the search structure now rather than on the first large search.
    void prepare() const;

private:
    struct Lazy;
    // One search tree per sector, built once per item set.
    const std::vector<DirectionTree>& trees() const;

    ShellIndex shells_;
    SectorIndex sectors_;
    std::vector<geometry::Vec3> directions_;
    std::vector<std::uint32_t> shell_of_;
    std::vector<std::uint32_t> sector_of_;
    std::unique_ptr<Lazy> lazy_;
};

}  // namespace korvane::spatial_index
