// A bounding-cap tree over unit directions that lets the neighbour search skip whole groups of
// candidates that cannot beat the current k-th best. It changes which candidates are examined,
// never which are selected: pruning only drops groups whose every member is strictly worse.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/distance.hpp"
#include "spatial_index/item.hpp"
#include "spatial_index/sector.hpp"
#include "spatial_index/selection.hpp"

namespace korvane::spatial_index {

class DirectionTree {
public:
    struct Member {
        geometry::Vec3 direction;
        std::uint64_t rank;  // tie-break order of the search
        EntryId entry;
    };

    DirectionTree() = default;
    explicit DirectionTree(std::vector<Member> members);

    std::size_t size() const noexcept { return members_.size() + malformed_.size(); }

    // A lower bound on the proxy distance from `query` to every member.
    double bound(const geometry::Vec3& query) const noexcept;
    // Offers to `best` every member that could still enter it.
    void search(const geometry::Vec3& query, KBest& best) const;

private:
    struct Node {
        geometry::Vec3 centre;
        double cos_reach;  // every member lies within the reach angle of the centre
        double sin_reach;
        std::uint32_t begin, end;
        std::uint32_t left, right;  // kNoChild for a leaf
    };
    static constexpr std::uint32_t kNoChild = 0xFFFFFFFFu;

    std::uint32_t build(std::uint32_t begin, std::uint32_t end);
    // The angle from `centre` that encloses members [begin, end).
    double cap_reach(const geometry::Vec3& centre, std::uint32_t begin, std::uint32_t end) const noexcept;
    double lower_bound(const Node& node, const geometry::Vec3& query) const noexcept;
    void visit(std::uint32_t node, double bound, const geometry::Vec3& query, KBest& best) const;

    std::vector<Member> members_;    // finite directions, grouped by node
    std::vector<Member> malformed_;  // non-finite directions, offered to every search
    std::vector<Node> nodes_;        // the root first
};

}  // namespace korvane::spatial_index
