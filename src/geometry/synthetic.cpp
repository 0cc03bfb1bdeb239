#include "geometry/synthetic.hpp"

#include "common/random.hpp"

namespace korvane::geometry {

std::vector<double> embed(std::span<const SyntheticFeature> features, std::uint64_t seed) {
    std::vector<double> out(kSyntheticDimension, 0.0);
    for (const auto& feature : features) {
        if (feature.axis < kSyntheticDimension) out[feature.axis] = feature.weight;
    }
    random::Lcg64 noise{seed};
    for (double& value : out) value += (noise.next_f64() - 0.5) * 0.04;
    return out;
}

}  // namespace korvane::geometry
