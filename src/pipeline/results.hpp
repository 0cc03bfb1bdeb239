// Item-level query results of a pipeline.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::pipeline {

// How far a nearest result can be trusted, from the item's certainty and the pipeline's EVR.
struct Confidence {
    double evr = 0.0;
    double certainty_weight = 0.0;
    double score = 0.0;
    std::uint8_t band = 0;  // 0 (lowest) to 3
    friend bool operator==(const Confidence&, const Confidence&) = default;
};

Confidence confidence_for(double certainty, double evr) noexcept;

struct NearestResult {
    std::string id;
    std::string category;
    double distance = 0.0;  // radians between the query's and the item's positions
    double certainty = 1.0;
    double intensity = 0.0;
    Confidence confidence;
    friend bool operator==(const NearestResult&, const NearestResult&) = default;
};

struct PipelinePathStep {
    std::string id;
    std::string category;
    double cumulative_distance = 0.0;
    double hop_distance = 0.0;
    std::optional<double> bridge_strength;
    friend bool operator==(const PipelinePathStep&, const PipelinePathStep&) = default;
};

struct PathResult {
    std::vector<PipelinePathStep> steps;  // source first
    double total_distance = 0.0;
    friend bool operator==(const PathResult&, const PathResult&) = default;
};

struct GlobSummary {
    std::uint64_t id = 0;
    std::array<double, 3> centroid{};
    std::uint64_t member_count = 0;
    double radius = 0.0;
    std::vector<std::pair<std::string, std::uint64_t>> top_categories;  // at most 3
    friend bool operator==(const GlobSummary&, const GlobSummary&) = default;
};

// A plane fitted through points: centroid, unit normal (smallest covariance eigenvalue), the two
// in-plane axes and the share of the variance that lies in the plane.
struct SlicingManifold {
    std::array<double, 3> centroid{};
    std::array<double, 3> normal{};
    std::array<std::array<double, 3>, 2> axes{};
    double variance_ratio = 1.0;
    friend bool operator==(const SlicingManifold&, const SlicingManifold&) = default;
};

}  // namespace korvane::pipeline
