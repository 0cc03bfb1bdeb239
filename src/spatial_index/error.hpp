// Construction errors of the spatial index.
#pragma once

#include <string>
#include <variant>

namespace korvane::spatial_index {

// `field` is "theta_divisions" or "phi_divisions".
struct ZeroDivisions {
    std::string field;
    friend bool operator==(const ZeroDivisions&, const ZeroDivisions&) = default;
};

using IndexError = std::variant<ZeroDivisions>;

// "{field} must be greater than zero"
std::string display(const IndexError& error);

}  // namespace korvane::spatial_index
