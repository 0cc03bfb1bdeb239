#include "common/random.hpp"

#include <algorithm>
#include <cmath>

namespace korvane::random {
namespace {
// Smallest normal double: keeps log finite when u1 is exactly 0.
constexpr double kMinU1 = 2.2250738585072014e-308;
}  // namespace

void fill_gaussian(std::uint64_t& state, std::span<double> out) noexcept {
    for (double& value : out) {
        const double u1 = splitmix64_next_f64(state);
        const double u2 = splitmix64_next_f64(state);
        value = std::sqrt(-2.0 * std::log(std::max(u1, kMinU1))) * std::cos(kTwoPi * u2);
    }
}

std::vector<double> gaussian_vector(std::uint64_t& state, std::size_t len) {
    std::vector<double> out(len);
    fill_gaussian(state, out);
    return out;
}

std::array<double, 3> Lcg64::random_direction() noexcept {
    const double azimuth = kTwoPi * next_f64();
    const double z = 2.0 * next_f64() - 1.0;
    const double r = std::sqrt(1.0 - z * z);
    return {r * std::cos(azimuth), r * std::sin(azimuth), z};
}

}  // namespace korvane::random
