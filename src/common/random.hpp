// Seeded pseudo-random streams. Stored results depend on these streams bit for bit: the integer
// steps and the uniform conversions are exact by construction; gaussian values and directions
// additionally go through the C library's log, cos, sin and sqrt.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane::random {

inline constexpr double kTwoPi = 6.283185307179586;

// SplitMix64 on a state the caller owns, for code that keeps a bare std::uint64_t.
constexpr std::uint64_t splitmix64_next_u64(std::uint64_t& state) noexcept {
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Top 53 bits, so every value is exactly representable and 1.0 is never reached.
constexpr double splitmix64_next_f64(std::uint64_t& state) noexcept {
    return static_cast<double>(splitmix64_next_u64(state) >> 11) * 0x1.0p-53;
}

struct SplitMix64 {
    std::uint64_t state = 0;

    constexpr std::uint64_t next_u64() noexcept { return splitmix64_next_u64(state); }
    constexpr double next_f64() noexcept { return splitmix64_next_f64(state); }
};

// Box-Muller, one value per pair of draws (u1, then u2); the second value of the pair is not
// kept, so the stream position is always 2 draws per element.
void fill_gaussian(std::uint64_t& state, std::span<double> out) noexcept;
std::vector<double> gaussian_vector(std::uint64_t& state, std::size_t len);

struct Lcg64 {
    std::uint64_t state = 0;

    // Top 31 bits of the advanced state, in [0, 1).
    constexpr double next_f64() noexcept {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 33) * 0x1.0p-31;
    }

    // Uniform on the unit sphere from two draws: azimuth first, then height.
    std::array<double, 3> random_direction() noexcept;
};

}  // namespace korvane::random
