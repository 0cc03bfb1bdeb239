// A deterministic stand-in for a text embedding model, so self-tuning runs are reproducible.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace korvane::geometry {

inline constexpr std::size_t kSyntheticDimension = 128;

struct SyntheticFeature {
    std::uint64_t axis;
    double weight;
};

// Later features for the same axis replace earlier ones; axes >= 128 are ignored. Every element
// then receives seeded noise in [-0.02, 0.02).
std::vector<double> embed(std::span<const SyntheticFeature> features, std::uint64_t seed);

}  // namespace korvane::geometry
