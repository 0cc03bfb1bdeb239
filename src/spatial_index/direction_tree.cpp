#include "spatial_index/direction_tree.hpp"

#include <algorithm>
#include <cmath>

namespace korvane::spatial_index {
namespace {

using geometry::Vec3;

constexpr std::uint32_t kLeafSize = 24;
// Absorbs the rounding of dot products, acos and the bound itself; a looser bound only costs
// a little pruning.
constexpr double kReachSlack = 1e-7;
constexpr double kProxySlack = 1e-9;

bool finite(const Vec3& v) noexcept { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

double clamped_acos(double c) noexcept { return std::acos(clamped_cosine(c)); }

}  // namespace

DirectionTree::DirectionTree(std::vector<Member> members) {
    members_.reserve(members.size());
    for (const Member& m : members) (finite(m.direction) ? members_ : malformed_).push_back(m);
    if (members_.empty()) return;
    nodes_.reserve(2 * (members_.size() / kLeafSize + 1));
    build(0, static_cast<std::uint32_t>(members_.size()));
}

double DirectionTree::cap_reach(const Vec3& centre, std::uint32_t begin, std::uint32_t end) const noexcept {
    double min_dot = 1.0;
    for (std::uint32_t i = begin; i < end; ++i) min_dot = std::min(min_dot, geometry::dot(centre, members_[i].direction));
    return std::min(geometry::kPi, clamped_acos(min_dot) + kReachSlack);
}

// Median splits along the widest extent; each node's cap is exact for its members.
std::uint32_t DirectionTree::build(std::uint32_t begin, std::uint32_t end) {
    const auto index = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back({});

    Vec3 sum{0.0, 0.0, 0.0};
    Vec3 lo{1.0, 1.0, 1.0}, hi{-1.0, -1.0, -1.0};
    for (std::uint32_t i = begin; i < end; ++i) {
        const Vec3& v = members_[i].direction;
        for (int a = 0; a < 3; ++a) {
            sum[a] += v[a];
            lo[a] = std::min(lo[a], v[a]);
            hi[a] = std::max(hi[a], v[a]);
        }
    }
    Node node{};
    node.begin = begin;
    node.end = end;
    node.left = node.right = kNoChild;
    const double length = geometry::norm(sum);
    double reach = geometry::kPi;  // no useful cap: bound 0 everywhere
    node.centre = {0.0, 0.0, 1.0};
    if (length > 1e-9) {
        node.centre = {sum[0] / length, sum[1] / length, sum[2] / length};
        reach = cap_reach(node.centre, begin, end);
    }
    node.cos_reach = std::cos(reach);
    node.sin_reach = std::sin(reach);

    if (end - begin > kLeafSize) {
        int axis = 0;
        for (int a = 1; a < 3; ++a) {
            if (hi[a] - lo[a] > hi[axis] - lo[axis]) axis = a;
        }
        const std::uint32_t mid = begin + (end - begin) / 2;
        std::nth_element(members_.begin() + begin, members_.begin() + mid, members_.begin() + end,
                         [axis](const Member& a, const Member& b) { return a.direction[axis] < b.direction[axis]; });
        node.left = build(begin, mid);
        node.right = build(mid, end);
    }
    nodes_[index] = node;
    return index;
}

double DirectionTree::lower_bound(const Node& node, const Vec3& query) const noexcept {
    const double cos_a = clamped_cosine(geometry::dot(query, node.centre));
    if (cos_a >= node.cos_reach) return 0.0;  // the query lies inside the cap
    // Every member is at least (angle to centre - reach) from the query.
    const double sin_a = std::sqrt(1.0 - cos_a * cos_a);  // |cos_a| <= 1
    return 1.0 - (cos_a * node.cos_reach + sin_a * node.sin_reach) - kProxySlack;
}

double DirectionTree::bound(const Vec3& query) const noexcept {
    return nodes_.empty() || !malformed_.empty() ? 0.0 : lower_bound(nodes_[0], query);
}

void DirectionTree::visit(std::uint32_t index, double bound, const Vec3& query, KBest& best) const {
    if (best.full() && bound > best.worst()) return;
    const Node& node = nodes_[index];
    if (node.left == kNoChild) {
        for (std::uint32_t i = node.begin; i < node.end; ++i) {
            const Member& m = members_[i];
            const double p = proxy_distance(query, m.direction);
            if (!best.full() || p <= best.worst()) best.offer(p, m.rank, m.entry);
        }
        return;
    }
    const double left = lower_bound(nodes_[node.left], query);
    const double right = lower_bound(nodes_[node.right], query);
    if (left <= right) {
        visit(node.left, left, query, best);
        visit(node.right, right, query, best);
    } else {
        visit(node.right, right, query, best);
        visit(node.left, left, query, best);
    }
}

void DirectionTree::search(const Vec3& query, KBest& best) const {
    // Their proxy distance is the maximum, 2, whatever the query.
    for (const Member& m : malformed_) best.offer(proxy_distance(query, m.direction), m.rank, m.entry);
    if (!nodes_.empty()) visit(0, lower_bound(nodes_[0], query), query, best);
}

}  // namespace korvane::spatial_index
