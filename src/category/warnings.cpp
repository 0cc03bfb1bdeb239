#include "category/warnings.hpp"

#include "common/number_format.hpp"

namespace korvane::category {

std::string_view display_name(WarningSeverity severity) {
    switch (severity) {
        case WarningSeverity::Info: return "Info";
        case WarningSeverity::Warning: return "Warning";
        case WarningSeverity::Critical: return "Critical";
    }
    return "Critical";
}

std::vector<ProjectionWarning> projection_warnings(double evr) {
    constexpr double kRecommended = 0.35;
    if (evr >= kRecommended) return {};

    std::string message = "EVR=";
    append_fixed(message, 100.0 * evr, 1);
    message += "% \u2014 ";
    WarningSeverity severity;
    if (evr >= 0.25) {
        severity = WarningSeverity::Info;
        message += "below recommended ";
        append_display(message, 35.0);
        message += "%. Results usable with caution.";
    } else if (evr >= 0.15) {
        severity = WarningSeverity::Warning;
        message += "projection is lossy. Bridge counts may be inflated. Certainty-weighted results recommended.";
    } else {
        severity = WarningSeverity::Critical;
        message +=
            "projection captures very little variance. Category routing and bridges are unreliable. "
            "Use inner spheres.";
    }
    return {ProjectionWarning{std::move(message), evr, severity}};
}

}  // namespace korvane::category
