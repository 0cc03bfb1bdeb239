// Plain-words warnings about a global projection that keeps too little variance.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvane::category {

enum class WarningSeverity { Info, Warning, Critical };

// "Info", "Warning", "Critical".
std::string_view display_name(WarningSeverity severity);

struct ProjectionWarning {
    std::string message;
    double evr = 0.0;  // the ratio itself, not the percentage
    WarningSeverity severity = WarningSeverity::Info;

    friend bool operator==(const ProjectionWarning&, const ProjectionWarning&) = default;
};

// Zero or one warning. The thresholds are fixed; a NaN ratio counts as critical.
std::vector<ProjectionWarning> projection_warnings(double evr);

}  // namespace korvane::category
