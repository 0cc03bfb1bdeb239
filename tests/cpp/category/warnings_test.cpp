#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "category/warnings.hpp"

namespace korvane::category {
namespace {

struct WarningCase {
    double evr;
    std::optional<WarningSeverity> severity;
    std::string message;  // empty: not checked
};

TEST(ProjectionWarnings, ThresholdsAndMessages) {
    const std::string info_tail = "% \u2014 below recommended 35%. Results usable with caution.";
    const std::string lossy_tail =
        "% \u2014 projection is lossy. Bridge counts may be inflated. Certainty-weighted results recommended.";
    const std::string critical_tail =
        "% \u2014 projection captures very little variance. Category routing and bridges are unreliable. Use "
        "inner spheres.";
    const WarningCase cases[] = {
        {1.0, std::nullopt, ""},
        {0.35, std::nullopt, ""},
        {std::nextafter(0.35, 0.0), WarningSeverity::Info, "EVR=35.0" + info_tail},
        {0.3, WarningSeverity::Info, "EVR=30.0" + info_tail},
        {0.25, WarningSeverity::Info, "EVR=25.0" + info_tail},
        {0.2468, WarningSeverity::Warning, "EVR=24.7" + lossy_tail},
        {0.15, WarningSeverity::Warning, "EVR=15.0" + lossy_tail},
        {std::nextafter(0.15, 0.0), WarningSeverity::Critical, "EVR=15.0" + critical_tail},
        {0.0, WarningSeverity::Critical, "EVR=0.0" + critical_tail},
        {-0.5, WarningSeverity::Critical, "EVR=-50.0" + critical_tail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.evr);
        const auto warnings = projection_warnings(c.evr);
        if (!c.severity) {
            EXPECT_TRUE(warnings.empty());
            continue;
        }
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0].severity, *c.severity);
        EXPECT_EQ(warnings[0].evr, c.evr);
        EXPECT_EQ(warnings[0].message, c.message);
    }
}

TEST(ProjectionWarnings, ExactInfoTextAtThirtyPercent) {
    const auto w = projection_warnings(0.3);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].message, "EVR=30.0% \u2014 below recommended 35%. Results usable with caution.");
}

TEST(ProjectionWarnings, NanFallsThroughToCritical) {
    const auto w = projection_warnings(std::numeric_limits<double>::quiet_NaN());
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].severity, WarningSeverity::Critical);
    EXPECT_TRUE(std::isnan(w[0].evr));
    EXPECT_EQ(w[0].message.rfind("EVR=NaN% \u2014 projection captures", 0), 0u);
}

TEST(ProjectionWarnings, SeverityDisplayNames) {
    EXPECT_EQ(display_name(WarningSeverity::Info), "Info");
    EXPECT_EQ(display_name(WarningSeverity::Warning), "Warning");
    EXPECT_EQ(display_name(WarningSeverity::Critical), "Critical");
}

}  // namespace
}  // namespace korvane::category
