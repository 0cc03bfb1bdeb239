// The total order of doubles (IEEE totalOrder) as a comparable integer key.
#pragma once

#include <bit>
#include <cstdint>

namespace korvane::category {

// -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
constexpr std::int64_t total_order_key(double x) noexcept {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

constexpr bool total_less(double a, double b) noexcept { return total_order_key(a) < total_order_key(b); }

}  // namespace korvane::category
