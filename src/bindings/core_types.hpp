// The geometry classes, for the other binding files that return points.
#pragma once

#include "bindings/pyutil/ref.hpp"
#include "geometry/points.hpp"
#include "projection/types.hpp"

namespace korvane::py {

// Registers SphericalPoint, CartesianPoint, GeoPoint, the seven geometry functions and
// ProjectedPoint, in that order.
bool add_core_types(PyObject* module);

PyObject* wrap(const geometry::SphericalPoint& point);
PyObject* wrap(const geometry::CartesianPoint& point);
PyObject* wrap(const geometry::GeoPoint& point);
PyObject* wrap(const projection::ProjectedPoint& point);

}  // namespace korvane::py
