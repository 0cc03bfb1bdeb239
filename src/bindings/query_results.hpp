// The item-level query result classes: NearestHit, PathResult, PathStep, GlobInfo, ManifoldInfo.
#pragma once

#include "bindings/pyutil/ref.hpp"
#include "pipeline/results.hpp"

namespace korvane::py {

bool add_query_result_types(PyObject* module);

// The confidence record of a nearest result is not carried into Python.
PyObject* wrap(const pipeline::NearestResult& hit);
PyObject* wrap(const pipeline::PathResult& path);
PyObject* wrap(const pipeline::PipelinePathStep& step);
PyObject* wrap(const pipeline::GlobSummary& glob);
PyObject* wrap(const pipeline::SlicingManifold& manifold);

}  // namespace korvane::py
