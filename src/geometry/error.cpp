#include "geometry/error.hpp"

#include "common/number_format.hpp"

namespace korvane::geometry {
namespace {

struct Displayer {
    std::string operator()(const InvalidRadius& e) const {
        return "invalid radius " + format_display(e.value) + ": must be >= 0";
    }
    std::string operator()(const InvalidTheta& e) const {
        return "invalid theta " + format_display(e.value) + ": must be in [0, 2π)";
    }
    std::string operator()(const InvalidPhi& e) const {
        return "invalid phi " + format_display(e.value) + ": must be in [0, π]";
    }
    std::string operator()(const InvalidLatitude& e) const {
        return "invalid latitude " + format_display(e.value) + ": must be in [-90, 90]";
    }
    std::string operator()(const InvalidLongitude& e) const {
        return "invalid longitude " + format_display(e.value) + ": must be in [-180, 180]";
    }
    std::string operator()(const InvalidAltitude& e) const {
        return "invalid altitude " + format_display(e.value) + ": must be >= 0";
    }
    std::string operator()(const InvalidShellBounds& e) const {
        return "invalid shell bounds: inner " + format_display(e.inner) + " must be < outer " +
               format_display(e.outer);
    }
    std::string operator()(const InvalidBandBounds& e) const {
        return "invalid band bounds: phi_min " + format_display(e.phi_min) +
               " must be < phi_max " + format_display(e.phi_max);
    }
    std::string operator()(const InvalidConeAngle& e) const {
        return "invalid cone: half_angle " + format_display(e.value) + " must be in (0, π]";
    }
    std::string operator()(const InvalidCapAngle& e) const {
        return "invalid cap: half_angle " + format_display(e.value) + " must be in (0, π]";
    }
    std::string operator()(const InvalidWedgeBounds& e) const {
        return "invalid wedge bounds: theta_min " + format_display(e.theta_min) +
               " and theta_max " + format_display(e.theta_max) + " must be in [0, 2π)";
    }
    std::string operator()(const ZeroVector&) const { return "zero vector cannot be normalized"; }
    std::string operator()(const DimensionMismatch& e) const {
        return "vector length mismatch: expected " + format_display(e.expected) + ", got " +
               format_display(e.actual);
    }
};

std::string tuple_form(const char* name, double value) {
    return std::string(name) + "(" + format_display(value) + ")";
}

template <class A, class B>
std::string struct_form(const char* name, const char* a_name, A a, const char* b_name, B b) {
    return std::string(name) + " { " + a_name + ": " + format_display(a) + ", " + b_name + ": " +
           format_display(b) + " }";
}

struct Debugger {
    std::string operator()(const InvalidRadius& e) const { return tuple_form("InvalidRadius", e.value); }
    std::string operator()(const InvalidTheta& e) const { return tuple_form("InvalidTheta", e.value); }
    std::string operator()(const InvalidPhi& e) const { return tuple_form("InvalidPhi", e.value); }
    std::string operator()(const InvalidLatitude& e) const { return tuple_form("InvalidLatitude", e.value); }
    std::string operator()(const InvalidLongitude& e) const { return tuple_form("InvalidLongitude", e.value); }
    std::string operator()(const InvalidAltitude& e) const { return tuple_form("InvalidAltitude", e.value); }
    std::string operator()(const InvalidShellBounds& e) const {
        return struct_form("InvalidShellBounds", "inner", e.inner, "outer", e.outer);
    }
    std::string operator()(const InvalidBandBounds& e) const {
        return struct_form("InvalidBandBounds", "phi_min", e.phi_min, "phi_max", e.phi_max);
    }
    std::string operator()(const InvalidConeAngle& e) const { return tuple_form("InvalidConeAngle", e.value); }
    std::string operator()(const InvalidCapAngle& e) const { return tuple_form("InvalidCapAngle", e.value); }
    std::string operator()(const InvalidWedgeBounds& e) const {
        return struct_form("InvalidWedgeBounds", "theta_min", e.theta_min, "theta_max", e.theta_max);
    }
    std::string operator()(const ZeroVector&) const { return "ZeroVector"; }
    std::string operator()(const DimensionMismatch& e) const {
        return struct_form("DimensionMismatch", "expected", e.expected, "actual", e.actual);
    }
};

}  // namespace

std::string display(const KorvaneError& error) { return std::visit(Displayer{}, error); }
std::string debug(const KorvaneError& error) { return std::visit(Debugger{}, error); }

}  // namespace korvane::geometry
