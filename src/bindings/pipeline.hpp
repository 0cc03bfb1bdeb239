// The Pipeline class: a built KorvanePipeline and the input dimension its queries are checked
// against.
#pragma once

#include "bindings/pyutil/ref.hpp"
#include <string>
#include <vector>

#include "config/pipeline_config.hpp"
#include "pipeline/pipeline.hpp"

namespace korvane::py {

bool add_pipeline_type(PyObject* module);

// Category labels: any sequence of str except a str itself.
bool read_categories(PyObject* object, const char* function, std::vector<std::string>& out);

// A configuration dict (or sequence) read field by field; failures raise
// ValueError "invalid PipelineConfig dict: {}".
bool read_config(PyObject* object, config::PipelineConfig& out);

// The pipeline held by `object`, or nullptr when it is not a Pipeline (no exception set).
const pipeline::KorvanePipeline* as_pipeline(PyObject* object);

}  // namespace korvane::py
