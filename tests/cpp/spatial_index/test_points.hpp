// Random points and an independent reading of the neighbour search for the index tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <queue>
#include <string>
#include <vector>

#include "common/random.hpp"
#include "geometry/conversions.hpp"
#include "geometry/distance.hpp"
#include "spatial_index/item.hpp"

namespace korvane::spatial_index::testing {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// Uniform directions on the sphere with radii in [0, 1.2).
inline std::vector<PointItem> random_items(std::size_t n, std::uint64_t seed, const std::string& prefix = "p") {
    std::vector<PointItem> items;
    std::uint64_t state = seed;
    random::SplitMix64 radii{seed ^ 0x5555};
    for (std::size_t i = 0; i < n; ++i) {
        const auto g = random::gaussian_vector(state, 3);
        geometry::SphericalPoint p = geometry::cartesian_to_spherical({g[0], g[1], g[2]});
        p.r = 1.2 * radii.next_f64();
        items.push_back({prefix + std::to_string(i), p});
    }
    return items;
}

// Directions within `spread` radians (roughly) of `centre`.
inline std::vector<PointItem> cluster_items(std::size_t n, geometry::SphericalPoint centre, double spread,
                                            std::uint64_t seed, const std::string& prefix = "c") {
    std::vector<PointItem> items;
    random::SplitMix64 rng{seed};
    for (std::size_t i = 0; i < n; ++i) {
        geometry::SphericalPoint p = centre;
        p.theta = geometry::wrap_azimuth(centre.theta + spread * (2.0 * rng.next_f64() - 1.0));
        p.phi = std::clamp(centre.phi + spread * (2.0 * rng.next_f64() - 1.0), 0.0, kPi);
        p.r = rng.next_f64();
        items.push_back({prefix + std::to_string(i), p});
    }
    return items;
}

struct Hit {
    std::string id;
    double distance;
    friend bool operator==(const Hit&, const Hit&) = default;
};

// Every item by exact angular distance; equal distances keep input order.
inline std::vector<Hit> brute_force(const std::vector<PointItem>& items, const geometry::SphericalPoint& q,
                                    std::size_t k) {
    std::vector<Hit> all;
    for (const auto& it : items) all.push_back({it.id, geometry::angular_distance(q, it.position)});
    std::stable_sort(all.begin(), all.end(), [](const Hit& a, const Hit& b) { return a.distance < b.distance; });
    if (all.size() > k) all.resize(k);
    return all;
}

inline std::size_t bin(double x, std::size_t bins) {
    if (!(x > 0.0)) return 0;
    return std::min<double>(static_cast<double>(bins - 1), std::floor(x));
}

// The shell-and-sector search written out step by step on a plain list of items (distinct ids,
// in insertion order): full scan up to 500 items, otherwise sector rounds with a doubling
// margin, then a bounded max-heap that replaces its top only on a strictly smaller proxy.
inline std::vector<Hit> reference_search(const std::vector<PointItem>& items, const std::vector<double>& boundaries,
                                         std::size_t T, std::size_t P, const geometry::SphericalPoint& q,
                                         std::size_t k) {
    if (k == 0) return {};
    const auto dir = [](const geometry::SphericalPoint& p) {
        return geometry::Vec3{std::sin(p.phi) * std::cos(p.theta), std::sin(p.phi) * std::sin(p.theta),
                              std::cos(p.phi)};
    };
    const auto proxy = [](const geometry::Vec3& a, const geometry::Vec3& b) {
        return 1.0 - std::clamp(a[0] * b[0] + a[1] * b[1] + a[2] * b[2], -1.0, 1.0);
    };
    const geometry::Vec3 uq = dir(q);
    std::vector<const PointItem*> candidates;
    if (items.size() <= 500) {
        std::vector<std::pair<std::size_t, const PointItem*>> keyed;
        for (const auto& it : items) {
            std::size_t shell = 0;
            for (double b : boundaries) shell += b <= it.position.r ? 1 : 0;
            keyed.push_back({shell, &it});
        }
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [shell, it] : keyed) candidates.push_back(it);
    } else {
        std::vector<std::vector<const PointItem*>> sectors(T * P);
        for (const auto& it : items) {
            const std::size_t t = bin(static_cast<double>(T) * it.position.theta / kTwoPi, T);
            const std::size_t p = bin(static_cast<double>(P) * it.position.phi / kPi, P);
            sectors[p + P * t].push_back(&it);
        }
        const std::size_t target = std::min(items.size(), std::max<std::size_t>(100, 20 * k));
        const double dt = kTwoPi / static_cast<double>(T), dp = kPi / static_cast<double>(P);
        const double c = 1.0 - std::cos(std::sqrt(dt * dt + dp * dp));
        double margin = std::max(2.0 * c, 0.01);
        for (;;) {
            candidates.clear();
            for (std::size_t s = 0; s < T * P; ++s) {
                const geometry::SphericalPoint centre{1.0, (static_cast<double>(s / P) + 0.5) * kTwoPi / static_cast<double>(T),
                                                      (static_cast<double>(s % P) + 0.5) * kPi / static_cast<double>(P)};
                if (proxy(uq, dir(centre)) <= c + margin) {
                    for (const auto* it : sectors[s]) candidates.push_back(it);
                }
            }
            if (margin >= 2.0 || candidates.size() >= target) break;
            margin *= 2.0;
        }
    }
    using Entry = std::pair<double, const PointItem*>;
    const auto by_proxy = [](const Entry& a, const Entry& b) { return a.first < b.first; };
    std::priority_queue<Entry, std::vector<Entry>, decltype(by_proxy)> heap(by_proxy);
    for (const auto* it : candidates) {
        const double p = proxy(uq, dir(it->position));
        if (heap.size() < k) {
            heap.push({p, it});
        } else if (p < heap.top().first) {
            heap.pop();
            heap.push({p, it});
        }
    }
    std::vector<Entry> kept;
    while (!heap.empty()) {
        kept.push_back(heap.top());
        heap.pop();
    }
    std::stable_sort(kept.begin(), kept.end(), by_proxy);
    std::vector<Hit> hits;
    for (const auto& [p, it] : kept) hits.push_back({it->id, geometry::angular_distance(q, it->position)});
    return hits;
}

}  // namespace korvane::spatial_index::testing
