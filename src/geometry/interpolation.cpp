#include "geometry/interpolation.hpp"

#include <cmath>

#include "geometry/conversions.hpp"
#include "geometry/distance.hpp"

namespace korvane::geometry {

SphericalPoint slerp(const SphericalPoint& a, const SphericalPoint& b, double t) {
    const Vec3 ua = unit_direction(a);
    const Vec3 ub = unit_direction(b);
    const double omega = angle_between(ua, ub);
    if (std::fabs(omega) < 1e-10) return {1.0, a.theta, a.phi};
    t = std::fmin(std::fmax(t, 0.0), 1.0);

    Vec3 out;
    const double sin_omega = std::sin(omega);
    if (std::fabs(sin_omega) < 1e-10) {
        // Opposite directions: every great circle joins them; turn through the plane of ua and
        // an auxiliary axis so the path is still well defined.
        const Vec3 w = std::fabs(ua[2]) < 0.9 ? Vec3{0.0, 0.0, 1.0} : Vec3{1.0, 0.0, 0.0};
        const double wu = dot(w, ua);
        Vec3 p{w[0] - wu * ua[0], w[1] - wu * ua[1], w[2] - wu * ua[2]};
        const double pn = norm(p);
        for (double& c : p) c /= pn;
        const double ca = std::cos(t * omega), cp = std::sin(t * omega);
        for (int i = 0; i < 3; ++i) out[i] = ca * ua[i] + cp * p[i];
    } else {
        const double wa = std::sin((1.0 - t) * omega) / sin_omega;
        const double wb = std::sin(t * omega) / sin_omega;
        for (int i = 0; i < 3; ++i) out[i] = wa * ua[i] + wb * ub[i];
    }
    return cartesian_to_spherical({out[0], out[1], out[2]});
}

}  // namespace korvane::geometry
