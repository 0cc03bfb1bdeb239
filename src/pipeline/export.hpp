// Flat per-item export of a built pipeline: records, a compact JSON array and a CSV table.
#pragma once

#include <string>
#include <vector>

#include "pipeline/pipeline.hpp"

namespace korvane::pipeline {

// Fields in column / key order.
struct ExportedPoint {
    std::string id;
    std::string category;
    double r = 0.0;
    double theta = 0.0;
    double phi = 0.0;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double certainty = 1.0;
    double intensity = 1.0;
    friend bool operator==(const ExportedPoint&, const ExportedPoint&) = default;
};

// One record per item, input order.
std::vector<ExportedPoint> exported_points(const KorvanePipeline& pipeline);

// "[" objects "]", compact, keys in field order; "[]" when empty.
std::string export_json(const std::vector<ExportedPoint>& points);
// Header line, then one line per item: quoted id and category, numbers with six decimals.
std::string export_csv(const std::vector<ExportedPoint>& points);

inline std::string to_json(const KorvanePipeline& pipeline) { return export_json(exported_points(pipeline)); }
inline std::string to_csv(const KorvanePipeline& pipeline) { return export_csv(exported_points(pipeline)); }

}  // namespace korvane::pipeline
