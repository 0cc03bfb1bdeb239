// The Pipeline class: a built KorvanePipeline and the input dimension its queries are checked
// against.
#pragma once

#include "bindings/pyutil/ref.hpp"
#include "pipeline/pipeline.hpp"

namespace korvane::py {

bool add_pipeline_type(PyObject* module);

// The pipeline held by `object`, or nullptr when it is not a Pipeline (no exception set).
const pipeline::KorvanePipeline* as_pipeline(PyObject* object);

}  // namespace korvane::py
