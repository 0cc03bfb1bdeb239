// The geometry error vocabulary with its fixed display texts.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace korvane::geometry {

struct InvalidRadius { double value; };
struct InvalidTheta { double value; };
struct InvalidPhi { double value; };
struct InvalidLatitude { double value; };
struct InvalidLongitude { double value; };
struct InvalidAltitude { double value; };
struct InvalidShellBounds { double inner; double outer; };
struct InvalidBandBounds { double phi_min; double phi_max; };
struct InvalidConeAngle { double value; };
struct InvalidCapAngle { double value; };
struct InvalidWedgeBounds { double theta_min; double theta_max; };
struct ZeroVector {};
struct DimensionMismatch { std::uint64_t expected; std::uint64_t actual; };

// Alternatives in declaration order; the index is the variant number.
using KorvaneError =
    std::variant<InvalidRadius, InvalidTheta, InvalidPhi, InvalidLatitude, InvalidLongitude,
                 InvalidAltitude, InvalidShellBounds, InvalidBandBounds, InvalidConeAngle,
                 InvalidCapAngle, InvalidWedgeBounds, ZeroVector, DimensionMismatch>;

std::string display(const KorvaneError& error);
// Variant name and, for struct-like variants, named fields, e.g.
// "DimensionMismatch { expected: 3, actual: 2 }".
std::string debug(const KorvaneError& error);

}  // namespace korvane::geometry
