// Point types on and around the sphere. Angles in radians, except GeoPoint (degrees).
#pragma once

#include "common/result.hpp"
#include "geometry/error.hpp"

namespace korvane::geometry {

// Zero threshold of geometry and projections: the machine epsilon of doubles.
inline constexpr double kEpsilon = 2.220446049250313e-16;
inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kDegToRad = 0.017453292519943295;
inline constexpr double kRadToDeg = 57.29577951308232;

// theta: azimuth in [0, 2π) from +x towards +y; phi: polar angle in [0, π] from +z.
struct SphericalPoint {
    double r = 0.0;
    double theta = 0.0;
    double phi = 0.0;

    // The only producer that checks ranges; NaN fails every angle test, a NaN radius passes.
    static Result<SphericalPoint, KorvaneError> make(double r, double theta, double phi);

    friend bool operator==(const SphericalPoint&, const SphericalPoint&) = default;
};

struct CartesianPoint {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;

    friend bool operator==(const CartesianPoint&, const CartesianPoint&) = default;
};

// lat: 90 is the +z pole; lon: 0 is +x; alt: above the unit sphere, in units of its radius.
struct GeoPoint {
    double lat = 0.0;
    double lon = 0.0;
    double alt = 0.0;

    static Result<GeoPoint, KorvaneError> make(double lat, double lon, double alt);

    friend bool operator==(const GeoPoint&, const GeoPoint&) = default;
};

}  // namespace korvane::geometry
