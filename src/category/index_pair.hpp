// Ordered pair of category indices, the key of the bridge and overlap maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace korvane::category {

struct IndexPair {
    std::uint64_t first = 0;
    std::uint64_t second = 0;

    friend bool operator==(const IndexPair&, const IndexPair&) = default;
};

struct IndexPairHash {
    std::size_t operator()(const IndexPair& p) const noexcept {
        // Category counts are small; mixing keeps (a, b) and (b, a) apart.
        std::uint64_t h = p.first * 0x9E3779B97F4A7C15ULL ^ (p.second + 0x7F4A7C159E3779B9ULL);
        h ^= h >> 29;
        return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ULL);
    }
};

}  // namespace korvane::category
