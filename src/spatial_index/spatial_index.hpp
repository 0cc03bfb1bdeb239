// The shell-and-sector index of items on the sphere: lookup by id, and the k nearest items by
// direction (radius ignored).
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "spatial_index/entry_index.hpp"
#include "spatial_index/id_table.hpp"
#include "spatial_index/item.hpp"
#include "spatial_index/sector.hpp"
#include "spatial_index/shell.hpp"

namespace korvane::spatial_index {

template <SpatialItem T>
struct NearestResult {
    T item;
    double distance;  // angular distance from the query, radians
};

// Items found by an item-set query and how many items were examined to find them.
template <SpatialItem T>
struct SpatialQueryResult {
    std::vector<T> items;
    std::size_t examined = 0;
};

template <SpatialItem T>
class SpatialIndex {
public:
    SpatialIndex(ShellIndex shells, SectorIndex sectors) : entries_(std::move(shells), std::move(sectors)) {}

    // Adds a copy of the item. An id already present is replaced: the new item takes the old
    // one's place in lookups and searches and counts as inserted last; returns false then.
    // Requires exclusive access.
    bool insert(T item) {
        const geometry::SphericalPoint position = item.position;
        const std::uint64_t h = IdTable::hash(item.id);
        if (const auto found = find(item.id, h)) {
            items_[*found] = std::move(item);
            entries_.place(*found, position);
            return false;
        }
        // Entry numbers are 32-bit; reaching the limit means memory is exhausted anyway.
        if (items_.size() >= std::numeric_limits<EntryId>::max() - 1) throw std::length_error("spatial index is full");
        const auto e = static_cast<EntryId>(items_.size());
        items_.push_back(std::move(item));
        entries_.place(e, position);
        ids_.append(h);
        return true;
    }

    // Room for n items, so a bulk load does not regrow its storage.
    void reserve(std::size_t n) {
        items_.reserve(n);
        ids_.reserve(n);
        entries_.reserve(n);
    }

    // The item with that id, or null.
    const T* get(std::string_view id) const {
        const auto found = find(id);
        return found ? &items_[*found] : nullptr;
    }

    // At most k items by increasing angular distance from `query`. Exact up to 500 items; above
    // that only the sectors around the query are searched. Safe to call concurrently.
    std::vector<NearestResult<T>> nearest(const geometry::SphericalPoint& query, std::size_t k) const {
        std::vector<NearestResult<T>> results;
        const auto hits = entries_.nearest(query, k);
        results.reserve(hits.size());
        for (const EntryHit& h : hits) results.push_back({items_[h.entry], h.distance});
        return results;
    }

    // Number of distinct ids.
    std::size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }

    // f(const T&) for every item, shells in ascending radius order, each in insertion order.
    template <class F>
    void for_each(F&& f) const {
        entries_.for_each_in_scan_order([&](EntryId e) { f(items_[e]); });
    }

    // Entry level, for callers that number the items themselves.
    const T& item(EntryId e) const noexcept { return items_[e]; }
    std::optional<EntryId> find(std::string_view id) const { return find(id, IdTable::hash(id)); }
    std::vector<EntryHit> nearest_entries(const geometry::SphericalPoint& query, std::size_t k) const {
        return entries_.nearest(query, k);
    }
    std::vector<EntryId> scan_order() const { return entries_.scan_order(); }
    const EntryIndex& entries() const noexcept { return entries_; }

    // Builds the search structure now instead of on the first search over more than 500 items.
    void prepare() const { entries_.prepare(); }

private:
    std::optional<EntryId> find(std::string_view id, std::uint64_t h) const {
        return ids_.find(id, h, [this](EntryId e) -> std::string_view { return items_[e].id; });
    }

    EntryIndex entries_;
    std::vector<T> items_;
    IdTable ids_;  // entry numbers by id
};

// Configuration of a spatial index. Divisions default to the pipeline's 12 x 6 grid.
class SpatialIndexBuilder {
public:
    // Appends the count + 1 radii j * max_radius / count, j = 0..count; nothing for count 0.
    SpatialIndexBuilder& uniform_shells(std::size_t count, double max_radius);
    SpatialIndexBuilder& boundary(double radius);
    SpatialIndexBuilder& theta_divisions(std::size_t divisions);
    SpatialIndexBuilder& phi_divisions(std::size_t divisions);

    const std::vector<double>& boundaries() const noexcept { return boundaries_; }

    ShellIndex build_shells() const { return ShellIndex(boundaries_); }
    // Zero divisions are a programming error here; check them with SectorIndex::try_new.
    SectorIndex build_sectors() const { return SectorIndex(theta_divisions_, phi_divisions_); }

    template <SpatialItem T>
    SpatialIndex<T> build() const {
        return SpatialIndex<T>(build_shells(), build_sectors());
    }

private:
    std::vector<double> boundaries_;
    std::size_t theta_divisions_ = 12;
    std::size_t phi_divisions_ = 6;
};

}  // namespace korvane::spatial_index
