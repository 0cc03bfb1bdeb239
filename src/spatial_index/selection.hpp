// Selection of the k best candidates of the neighbour search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "spatial_index/item.hpp"

namespace korvane::spatial_index {

// A candidate and its proxy distance. `rank` is the candidate's position in the search's
// candidate order; among equal proxies the earlier candidate is the better one, which makes the
// kept set independent of the order candidates are actually visited in.
struct ProxyDistEntry {
    double proxy;
    std::uint64_t rank;
    EntryId entry;
};

inline bool better(const ProxyDistEntry& a, const ProxyDistEntry& b) noexcept {
    return a.proxy < b.proxy || (a.proxy == b.proxy && a.rank < b.rank);
}

// The k best entries seen so far, as a max-heap (worst on top). Memory stays at k entries.
class KBest {
public:
    explicit KBest(std::size_t k, std::size_t expected = 0) : k_(k) { heap_.reserve(std::min(k, expected)); }

    bool full() const noexcept { return heap_.size() >= k_; }
    // Proxy of the worst kept entry; only meaningful when full().
    double worst() const noexcept { return heap_.front().proxy; }

    void offer(double proxy, std::uint64_t rank, EntryId entry) {
        const ProxyDistEntry e{proxy, rank, entry};
        if (heap_.size() < k_) {
            heap_.push_back(e);
            std::push_heap(heap_.begin(), heap_.end(), better);
        } else if (k_ != 0 && better(e, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), better);
            heap_.back() = e;
            std::push_heap(heap_.begin(), heap_.end(), better);
        }
    }

    // Best first.
    std::vector<ProxyDistEntry> take_sorted() && {
        std::sort_heap(heap_.begin(), heap_.end(), better);
        return std::move(heap_);
    }

private:
    std::size_t k_;
    std::vector<ProxyDistEntry> heap_;
};

}  // namespace korvane::spatial_index
