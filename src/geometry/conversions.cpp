#include "geometry/conversions.hpp"

namespace korvane::geometry {

GeoPoint spherical_to_geo(const SphericalPoint& p) {
    double lon = p.theta * kRadToDeg;
    if (lon > 180.0) lon -= 360.0;
    const double above = p.r - 1.0;
    // Radii below the unit sphere collapse to altitude 0.
    return {90.0 - p.phi * kRadToDeg, lon, above > 0.0 ? above : 0.0};
}

SphericalPoint geo_to_spherical(const GeoPoint& g) {
    return {g.alt + 1.0, wrap_azimuth(g.lon * kDegToRad), (90.0 - g.lat) * kDegToRad};
}

}  // namespace korvane::geometry
