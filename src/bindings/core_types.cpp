#include "bindings/core_types.hpp"

#include <array>

#include "bindings/pyutil/args.hpp"
#include "bindings/pyutil/box.hpp"
#include "bindings/pyutil/convert.hpp"
#include "bindings/pyutil/errors.hpp"
#include "bindings/pyutil/repr.hpp"
#include "geometry/conversions.hpp"
#include "geometry/distance.hpp"

namespace korvane::py {
namespace {

using geometry::CartesianPoint;
using geometry::GeoPoint;
using geometry::SphericalPoint;
using projection::ProjectedPoint;

PyTypeObject* g_spherical_type = nullptr;
PyTypeObject* g_cartesian_type = nullptr;
PyTypeObject* g_geo_type = nullptr;
PyTypeObject* g_projected_type = nullptr;

// Parses a constructor's tuple/dict call into three floats named by `params`.
bool parse_three_floats(const char* function, const std::array<Param, 3>& params, PyObject* args, PyObject* kwargs,
                        std::array<double, 3>& out) {
    Args<3> parsed;
    if (!parse_call_args(function, params, args, kwargs, parsed)) return false;
    for (std::size_t i = 0; i < 3; ++i)
        if (!to_f64(parsed[i], function, params[i].name, out[i])) return false;
    return true;
}

template <class Point>
PyObject* raise_or_wrap(PyTypeObject* type, Result<Point, geometry::KorvaneError> made) {
    if (!made) return raise_value_error(geometry::display(made.error()));
    return box(type, *made);
}

// ---- SphericalPoint -------------------------------------------------------------------------

constexpr std::array<Param, 3> kSphericalParams{required("r"), required("theta"), required("phi")};

PyObject* spherical_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<double, 3> v;
        if (!parse_three_floats("SphericalPoint", kSphericalParams, args, kwargs, v)) return nullptr;
        return raise_or_wrap(type, SphericalPoint::make(v[0], v[1], v[2]));
    });
}

PyObject* spherical_repr(PyObject* self) {
    const auto& p = unbox<SphericalPoint>(self);
    return ReprBuilder("SphericalPoint").display("r", p.r).display("theta", p.theta).display("phi", p.phi).build();
}

PyObject* spherical_to_cartesian_method(PyObject* self, PyObject*) {
    return wrap(geometry::spherical_to_cartesian(unbox<SphericalPoint>(self)));
}

PyObject* spherical_to_geo_method(PyObject* self, PyObject*) {
    return wrap(geometry::spherical_to_geo(unbox<SphericalPoint>(self)));
}

template <class T, double T::*Member>
PyObject* get_f64(PyObject* self, void*) {
    return PyFloat_FromDouble(unbox<T>(self).*Member);
}

PyGetSetDef kSphericalGetters[] = {
    {"r", get_f64<SphericalPoint, &SphericalPoint::r>, nullptr, "Radius, distance from the origin.", nullptr},
    {"theta", get_f64<SphericalPoint, &SphericalPoint::theta>, nullptr, "Azimuth in radians, from +x towards +y.", nullptr},
    {"phi", get_f64<SphericalPoint, &SphericalPoint::phi>, nullptr, "Polar angle in radians, from +z.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kSphericalMethods[] = {
    {"to_cartesian", spherical_to_cartesian_method, METH_NOARGS,
     "to_cartesian($self)\n--\n\nThe same point in Cartesian coordinates."},
    {"to_geo", spherical_to_geo_method, METH_NOARGS,
     "to_geo($self)\n--\n\nThe same point as latitude, longitude (degrees) and altitude above the unit sphere."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSphericalSlots[] = {
    {Py_tp_doc, const_cast<char*>("SphericalPoint(r, theta, phi)\n--\n\n"
                                  "A point in spherical coordinates: radius r >= 0, azimuth theta in [0, 2π),\n"
                                  "polar angle phi in [0, π].")},
    {Py_tp_new, reinterpret_cast<void*>(spherical_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<SphericalPoint>)},
    {Py_tp_repr, reinterpret_cast<void*>(spherical_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<SphericalPoint>)},
    {Py_tp_getset, kSphericalGetters},
    {Py_tp_methods, kSphericalMethods},
    {0, nullptr},
};

PyType_Spec kSphericalSpec{"korvane.SphericalPoint", sizeof(Box<SphericalPoint>), 0,
                           box_flags<SphericalPoint>(), kSphericalSlots};

// ---- CartesianPoint -------------------------------------------------------------------------

constexpr std::array<Param, 3> kCartesianParams{required("x"), required("y"), required("z")};

PyObject* cartesian_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<double, 3> v;
        if (!parse_three_floats("CartesianPoint", kCartesianParams, args, kwargs, v)) return nullptr;
        return box(type, CartesianPoint{v[0], v[1], v[2]});
    });
}

PyObject* cartesian_repr(PyObject* self) {
    const auto& p = unbox<CartesianPoint>(self);
    return ReprBuilder("CartesianPoint").display("x", p.x).display("y", p.y).display("z", p.z).build();
}

PyObject* cartesian_to_spherical_method(PyObject* self, PyObject*) {
    return wrap(geometry::cartesian_to_spherical(unbox<CartesianPoint>(self)));
}

PyObject* cartesian_magnitude_method(PyObject* self, PyObject*) {
    return PyFloat_FromDouble(geometry::magnitude(unbox<CartesianPoint>(self)));
}

PyObject* cartesian_normalize_method(PyObject* self, PyObject*) {
    return wrap(geometry::normalize(unbox<CartesianPoint>(self)));
}

PyGetSetDef kCartesianGetters[] = {
    {"x", get_f64<CartesianPoint, &CartesianPoint::x>, nullptr, "x coordinate.", nullptr},
    {"y", get_f64<CartesianPoint, &CartesianPoint::y>, nullptr, "y coordinate.", nullptr},
    {"z", get_f64<CartesianPoint, &CartesianPoint::z>, nullptr, "z coordinate.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kCartesianMethods[] = {
    {"to_spherical", cartesian_to_spherical_method, METH_NOARGS,
     "to_spherical($self)\n--\n\nThe same point in spherical coordinates; the origin maps to (0, 0, 0)."},
    {"magnitude", cartesian_magnitude_method, METH_NOARGS, "magnitude($self)\n--\n\nEuclidean length."},
    {"normalize", cartesian_normalize_method, METH_NOARGS,
     "normalize($self)\n--\n\nThe unit vector in the same direction, or (0, 0, 0) for a (near-)zero vector."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kCartesianSlots[] = {
    {Py_tp_doc, const_cast<char*>("CartesianPoint(x, y, z)\n--\n\nA point in Cartesian coordinates.")},
    {Py_tp_new, reinterpret_cast<void*>(cartesian_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<CartesianPoint>)},
    {Py_tp_repr, reinterpret_cast<void*>(cartesian_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<CartesianPoint>)},
    {Py_tp_getset, kCartesianGetters},
    {Py_tp_methods, kCartesianMethods},
    {0, nullptr},
};

PyType_Spec kCartesianSpec{"korvane.CartesianPoint", sizeof(Box<CartesianPoint>), 0,
                           box_flags<CartesianPoint>(), kCartesianSlots};

// ---- GeoPoint -------------------------------------------------------------------------------

constexpr std::array<Param, 3> kGeoParams{required("lat"), required("lon"), required("alt")};

PyObject* geo_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<double, 3> v;
        if (!parse_three_floats("GeoPoint", kGeoParams, args, kwargs, v)) return nullptr;
        return raise_or_wrap(type, GeoPoint::make(v[0], v[1], v[2]));
    });
}

PyObject* geo_repr(PyObject* self) {
    const auto& p = unbox<GeoPoint>(self);
    return ReprBuilder("GeoPoint").display("lat", p.lat).display("lon", p.lon).display("alt", p.alt).build();
}

PyObject* geo_to_spherical_method(PyObject* self, PyObject*) {
    return wrap(geometry::geo_to_spherical(unbox<GeoPoint>(self)));
}

PyObject* geo_to_cartesian_method(PyObject* self, PyObject*) {
    return wrap(geometry::spherical_to_cartesian(geometry::geo_to_spherical(unbox<GeoPoint>(self))));
}

PyGetSetDef kGeoGetters[] = {
    {"lat", get_f64<GeoPoint, &GeoPoint::lat>, nullptr, "Latitude in degrees; 90 is the +z pole.", nullptr},
    {"lon", get_f64<GeoPoint, &GeoPoint::lon>, nullptr, "Longitude in degrees; 0 is the +x direction.", nullptr},
    {"alt", get_f64<GeoPoint, &GeoPoint::alt>, nullptr, "Altitude above the unit sphere, in units of its radius.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kGeoMethods[] = {
    {"to_spherical", geo_to_spherical_method, METH_NOARGS,
     "to_spherical($self)\n--\n\nThe same point in spherical coordinates (r = alt + 1)."},
    {"to_cartesian", geo_to_cartesian_method, METH_NOARGS,
     "to_cartesian($self)\n--\n\nThe same point in Cartesian coordinates."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kGeoSlots[] = {
    {Py_tp_doc, const_cast<char*>("GeoPoint(lat, lon, alt)\n--\n\n"
                                  "A geographic point: latitude in [-90, 90] and longitude in [-180, 180]\n"
                                  "degrees, altitude >= 0 above the unit sphere.")},
    {Py_tp_new, reinterpret_cast<void*>(geo_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<GeoPoint>)},
    {Py_tp_repr, reinterpret_cast<void*>(geo_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(value_richcompare<GeoPoint>)},
    {Py_tp_getset, kGeoGetters},
    {Py_tp_methods, kGeoMethods},
    {0, nullptr},
};

PyType_Spec kGeoSpec{"korvane.GeoPoint", sizeof(Box<GeoPoint>), 0, box_flags<GeoPoint>(), kGeoSlots};

// ---- ProjectedPoint -------------------------------------------------------------------------

PyObject* projected_repr(PyObject* self) {
    const auto& p = unbox<ProjectedPoint>(self);
    return ReprBuilder("ProjectedPoint")
        .fixed("r", p.position.r, 4)
        .fixed("theta", p.position.theta, 4)
        .fixed("phi", p.position.phi, 4)
        .fixed("certainty", p.certainty, 4)
        .fixed("intensity", p.intensity, 4)
        .build();
}

PyObject* projected_position(PyObject* self, void*) { return wrap(unbox<ProjectedPoint>(self).position); }

PyGetSetDef kProjectedGetters[] = {
    {"position", projected_position, nullptr, "Where the embedding lands, as a new SphericalPoint.", nullptr},
    {"certainty", get_f64<ProjectedPoint, &ProjectedPoint::certainty>, nullptr,
     "Confidence of the placement, in [0, 1].", nullptr},
    {"intensity", get_f64<ProjectedPoint, &ProjectedPoint::intensity>, nullptr,
     "Magnitude of the raw embedding.", nullptr},
    {"projection_magnitude", get_f64<ProjectedPoint, &ProjectedPoint::projection_magnitude>, nullptr,
     "Length of the 3-D vector before it was reduced to a direction.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kProjectedSlots[] = {
    {Py_tp_doc, const_cast<char*>("The rich result of a projection: position, certainty, intensity and\n"
                                  "projection magnitude.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ProjectedPoint>)},
    {Py_tp_repr, reinterpret_cast<void*>(projected_repr)},
    {Py_tp_getset, kProjectedGetters},
    {0, nullptr},
};

PyType_Spec kProjectedSpec{"korvane.ProjectedPoint", sizeof(Box<ProjectedPoint>), 0,
                           box_flags<ProjectedPoint>() | Py_TPFLAGS_DISALLOW_INSTANTIATION, kProjectedSlots};

// ---- functions ------------------------------------------------------------------------------

template <std::size_t N>
bool parse_points(const char* function, const std::array<Param, N>& params, PyObject* const* args,
                  Py_ssize_t nargs, PyObject* kwnames, PyTypeObject* type, std::size_t points, Args<N>& parsed) {
    if (!parse_args(function, params, args, nargs, kwnames, parsed)) return false;
    for (std::size_t i = 0; i < points; ++i)
        if (!check_instance(parsed[i], type, function, params[i].name)) return false;
    return true;
}

constexpr std::array<Param, 2> kPairParams{required("a"), required("b")};
constexpr std::array<Param, 3> kPairRadiusParams{required("a"), required("b"), required("radius")};
constexpr std::array<Param, 1> kPointParam{required("p")};

PyObject* angular_distance_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<2> a;
    if (!parse_points("angular_distance", kPairParams, args, nargs, kwnames, g_spherical_type, 2, a)) return nullptr;
    return PyFloat_FromDouble(geometry::angular_distance(unbox<SphericalPoint>(a[0]), unbox<SphericalPoint>(a[1])));
}

PyObject* great_circle_distance_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<3> a;
    if (!parse_points("great_circle_distance", kPairRadiusParams, args, nargs, kwnames, g_spherical_type, 2, a))
        return nullptr;
    double radius;
    if (!to_f64(a[2], "great_circle_distance", "radius", radius)) return nullptr;
    return PyFloat_FromDouble(
        geometry::great_circle_distance(unbox<SphericalPoint>(a[0]), unbox<SphericalPoint>(a[1]), radius));
}

PyObject* chord_distance_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Args<2> a;
    if (!parse_points("chord_distance", kPairParams, args, nargs, kwnames, g_spherical_type, 2, a)) return nullptr;
    return PyFloat_FromDouble(geometry::chord_distance(unbox<SphericalPoint>(a[0]), unbox<SphericalPoint>(a[1])));
}

template <class From, auto Convert>
PyObject* convert_fn(const char* function, PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    Args<1> a;
    if (!parse_points(function, kPointParam, args, nargs, kwnames, type, 1, a)) return nullptr;
    return guarded([&] { return wrap(Convert(unbox<From>(a[0]))); });
}

PyObject* spherical_to_cartesian_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert_fn<SphericalPoint, geometry::spherical_to_cartesian>("spherical_to_cartesian", g_spherical_type,
                                                                        args, nargs, kwnames);
}
PyObject* cartesian_to_spherical_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert_fn<CartesianPoint, geometry::cartesian_to_spherical>("cartesian_to_spherical", g_cartesian_type,
                                                                        args, nargs, kwnames);
}
PyObject* spherical_to_geo_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert_fn<SphericalPoint, geometry::spherical_to_geo>("spherical_to_geo", g_spherical_type, args, nargs,
                                                                  kwnames);
}
PyObject* geo_to_spherical_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return convert_fn<GeoPoint, geometry::geo_to_spherical>("geo_to_spherical", g_geo_type, args, nargs, kwnames);
}

PyMethodDef kFunctions[] = {
    {"angular_distance", as_method<angular_distance_fn>(), kFastcall,
     "angular_distance(a, b)\n--\n\nAngle in radians between the directions of two SphericalPoints (radii ignored)."},
    {"great_circle_distance",
     as_method<great_circle_distance_fn>(), kFastcall,
     "great_circle_distance(a, b, radius)\n--\n\nArc length between two directions on a sphere of the given radius."},
    {"chord_distance", as_method<chord_distance_fn>(), kFastcall,
     "chord_distance(a, b)\n--\n\nStraight-line distance between two SphericalPoints, radii included."},
    {"spherical_to_cartesian",
     as_method<spherical_to_cartesian_fn>(), kFastcall,
     "spherical_to_cartesian(p)\n--\n\nConvert a SphericalPoint to a CartesianPoint."},
    {"cartesian_to_spherical",
     as_method<cartesian_to_spherical_fn>(), kFastcall,
     "cartesian_to_spherical(p)\n--\n\nConvert a CartesianPoint to a SphericalPoint; the origin maps to (0, 0, 0)."},
    {"spherical_to_geo", as_method<spherical_to_geo_fn>(), kFastcall,
     "spherical_to_geo(p)\n--\n\nConvert a SphericalPoint to a GeoPoint; radii below 1 give altitude 0."},
    {"geo_to_spherical", as_method<geo_to_spherical_fn>(), kFastcall,
     "geo_to_spherical(p)\n--\n\nConvert a GeoPoint to a SphericalPoint (r = alt + 1)."},
};

}  // namespace

PyObject* wrap(const SphericalPoint& point) { return box(g_spherical_type, point); }
PyObject* wrap(const CartesianPoint& point) { return box(g_cartesian_type, point); }
PyObject* wrap(const GeoPoint& point) { return box(g_geo_type, point); }
PyObject* wrap(const ProjectedPoint& point) { return box(g_projected_type, point); }

bool add_core_types(PyObject* module) {
    if (!(g_spherical_type = add_type(module, kSphericalSpec))) return false;
    if (!(g_cartesian_type = add_type(module, kCartesianSpec))) return false;
    if (!(g_geo_type = add_type(module, kGeoSpec))) return false;
    for (PyMethodDef& def : kFunctions)
        if (!add_function(module, def)) return false;
    return (g_projected_type = add_type(module, kProjectedSpec)) != nullptr;
}

}  // namespace korvane::py
