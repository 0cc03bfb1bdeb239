#include "spatial_index/entry_index.hpp"

#include <algorithm>
#include <limits>
#include <mutex>

#include "common/parallel.hpp"
#include "spatial_index/direction_tree.hpp"
#include "spatial_index/selection.hpp"

namespace korvane::spatial_index {

struct EntryIndex::Lazy {
    std::once_flag once;
    std::vector<DirectionTree> trees;
    bool built = false;
};

EntryIndex::EntryIndex(ShellIndex shells, SectorIndex sectors)
    : shells_(std::move(shells)), sectors_(std::move(sectors)), lazy_(std::make_unique<Lazy>()) {}

EntryIndex::~EntryIndex() = default;

EntryIndex::EntryIndex(const EntryIndex& other)
    : shells_(other.shells_),
      sectors_(other.sectors_),
      directions_(other.directions_),
      shell_of_(other.shell_of_),
      sector_of_(other.sector_of_),
      lazy_(std::make_unique<Lazy>()) {}

EntryIndex& EntryIndex::operator=(const EntryIndex& other) {
    if (this != &other) {
        EntryIndex copy(other);
        *this = std::move(copy);
    }
    return *this;
}

EntryIndex::EntryIndex(EntryIndex&&) noexcept = default;
EntryIndex& EntryIndex::operator=(EntryIndex&&) noexcept = default;

void EntryIndex::place(EntryId e, const geometry::SphericalPoint& position) {
    const std::size_t shell = shells_.shell_of(position.r);
    const std::size_t sector = sectors_.sector_of(position.theta, position.phi);
    const geometry::Vec3 direction = geometry::unit_direction(position);
    if (e < size()) {
        shells_.remove(e, shell_of_[e]);
        sectors_.remove(e, sector_of_[e]);
        directions_[e] = direction;
        shell_of_[e] = static_cast<std::uint32_t>(shell);
        sector_of_[e] = static_cast<std::uint32_t>(sector);
    } else {
        directions_.push_back(direction);
        shell_of_.push_back(static_cast<std::uint32_t>(shell));
        sector_of_.push_back(static_cast<std::uint32_t>(sector));
    }
    shells_.add(e, shell);
    sectors_.add(e, sector);
    // Exclusive access: nobody can be reading the old tree.
    if (!lazy_ || lazy_->built) lazy_ = std::make_unique<Lazy>();
}

void EntryIndex::reserve(std::size_t n) {
    directions_.reserve(n);
    shell_of_.reserve(n);
    sector_of_.reserve(n);
}

std::vector<EntryId> EntryIndex::scan_order() const {
    std::vector<EntryId> order;
    order.reserve(size());
    for_each_in_scan_order([&](EntryId e) { order.push_back(e); });
    return order;
}

const std::vector<DirectionTree>& EntryIndex::trees() const {
    std::call_once(lazy_->once, [this] {
        // Members carry their place in the candidate order of a sector scan: sectors in
        // numbering order, entries of a sector in insertion order. Each sector's tree is small
        // enough to build in cache, and the trees are independent.
        std::vector<DirectionTree> trees(sectors_.sector_count());
        parallel::for_each_chunk(
            trees.size(), 4,
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t s = begin; s < end; ++s) {
                    const auto& bucket = sectors_.bucket(s);
                    std::vector<DirectionTree::Member> members;
                    members.reserve(bucket.size());
                    for (std::size_t i = 0; i < bucket.size(); ++i) {
                        members.push_back({directions_[bucket[i]], (static_cast<std::uint64_t>(s) << 32) | i, bucket[i]});
                    }
                    trees[s] = DirectionTree(std::move(members));
                }
            },
            kExhaustiveLimit);
        lazy_->trees = std::move(trees);
        lazy_->built = true;
    });
    return lazy_->trees;
}

void EntryIndex::prepare() const {
    if (size() > kExhaustiveLimit) trees();
}

std::vector<EntryHit> EntryIndex::nearest(const geometry::SphericalPoint& query, std::size_t k) const {
    const std::size_t n = size();
    if (k == 0 || n == 0) return {};
    const geometry::Vec3 q = geometry::unit_direction(query);

    std::vector<ProxyDistEntry> kept;
    if (n <= kExhaustiveLimit) {
        KBest best(k, n);
        std::uint64_t rank = 0;
        for_each_in_scan_order([&](EntryId e) { best.offer(proxy_distance(q, directions_[e]), rank++, e); });
        kept = std::move(best).take_sorted();
    } else {
        const std::size_t wanted = k > std::numeric_limits<std::size_t>::max() / 20 ? n : std::max<std::size_t>(100, 20 * k);
        std::vector<std::uint8_t> taken;
        const std::size_t candidates = sectors_.select(q, std::min(n, wanted), taken);
        // Taken sectors nearest first, so the heap fills with good entries early and the rest
        // can be skipped by their bound.
        const auto& all = trees();
        std::vector<std::pair<double, std::size_t>> order;
        for (std::size_t s = 0; s < taken.size(); ++s) {
            if (taken[s] && all[s].size() != 0) order.push_back({all[s].bound(q), s});
        }
        std::sort(order.begin(), order.end());
        KBest best(k, candidates);
        for (const auto& [bound, s] : order) {
            if (best.full() && bound > best.worst()) break;
            all[s].search(q, best);
        }
        kept = std::move(best).take_sorted();
    }

    std::vector<EntryHit> hits;
    hits.reserve(kept.size());
    // Same arithmetic as geometry::angular_distance, on the cached directions.
    for (const auto& p : kept) hits.push_back({p.entry, geometry::angle_between(q, directions_[p.entry])});
    return hits;
}

}  // namespace korvane::spatial_index
