// The JSON forms of the item-level results: compact objects with their keys in alphabetical
// order, and lenient-but-checked readers whose messages name the offending field.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "pipeline/results.hpp"

namespace korvane::pipeline {

std::string to_json(const NearestResult& hit);  // the confidence record is not written
std::string to_json(const PipelinePathStep& step);
std::string to_json(const PathResult& path);
std::string to_json(const GlobSummary& glob);
std::string to_json(const SlicingManifold& manifold);  // centroid, normal, variance_ratio

// Errors are the message to raise, e.g. "missing or non-numeric field: distance".
Result<NearestResult, std::string> nearest_from_json(std::string_view text);
Result<PipelinePathStep, std::string> path_step_from_json(std::string_view text);
Result<PathResult, std::string> path_from_json(std::string_view text);
Result<GlobSummary, std::string> glob_from_json(std::string_view text);
Result<SlicingManifold, std::string> manifold_from_json(std::string_view text);

}  // namespace korvane::pipeline
