// Plane fits through projected items: the local "slicing manifold" around a query point.
#pragma once

#include <span>

#include "pipeline/globs.hpp"
#include "pipeline/results.hpp"

namespace korvane::pipeline {

// Centroid, population covariance and its Jacobi eigen-decomposition. Identical points give the
// identity axes and variance ratio 1; an empty list gives NaN fields.
SlicingManifold fit_manifold(std::span<const Point3> points);

// The fit of the max(neighborhood_k, 3) points nearest to `query` in 3-D (radius included),
// ties kept in point order.
SlicingManifold fit_local_manifold(const Point3& query, std::span<const Point3> points, std::size_t neighborhood_k);

}  // namespace korvane::pipeline
