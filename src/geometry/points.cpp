#include "geometry/points.hpp"

#include <cmath>

namespace korvane::geometry {

Result<SphericalPoint, KorvaneError> SphericalPoint::make(double r, double theta, double phi) {
    if (r < 0.0) return Err{KorvaneError{InvalidRadius{r}}};
    if (!(theta >= 0.0 && theta < kTwoPi)) return Err{KorvaneError{InvalidTheta{theta}}};
    if (!(phi >= 0.0 && phi <= kPi)) return Err{KorvaneError{InvalidPhi{phi}}};
    return SphericalPoint{r, theta, phi};
}

Result<GeoPoint, KorvaneError> GeoPoint::make(double lat, double lon, double alt) {
    if (!(std::fabs(lat) <= 90.0)) return Err{KorvaneError{InvalidLatitude{lat}}};
    if (!(std::fabs(lon) <= 180.0)) return Err{KorvaneError{InvalidLongitude{lon}}};
    if (alt < 0.0) return Err{KorvaneError{InvalidAltitude{alt}}};
    return GeoPoint{lat, lon, alt};
}

}  // namespace korvane::geometry
