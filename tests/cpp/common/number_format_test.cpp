#include "common/number_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace korvane {
namespace {

struct DisplayCase {
    double value;
    const char* expected;
};

TEST(NumberFormat, DisplayFormIsShortestPositional) {
    const DisplayCase cases[] = {
        {1.0, "1"},
        {-1.0, "-1"},
        {0.5, "0.5"},
        {0.1, "0.1"},
        {1e-7, "0.0000001"},
        {1e20, "100000000000000000000"},
        {0.30000000000000004, "0.30000000000000004"},
        {6.283185307179586, "6.283185307179586"},
        {-0.0, "-0"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_display(c.value), c.expected) << c.expected;
}

TEST(NumberFormat, DisplayHandlesExtremeMagnitudes) {
    const std::string tiny = format_display(5e-324);
    EXPECT_EQ(tiny.size(), 326u);  // "0." + 323 zeros + "5"
    EXPECT_EQ(tiny.substr(0, 4), "0.00");
    EXPECT_EQ(tiny.back(), '5');
    const std::string huge = format_display(std::numeric_limits<double>::max());
    EXPECT_EQ(huge.size(), 309u);
    EXPECT_EQ(huge.substr(0, 5), "17976");
}

TEST(NumberFormat, FixedRoundsHalfToEvenOnTheBinaryValue) {
    const DisplayCase cases[] = {
        {1.0, "1.0000"},
        {0.12345, "0.1235"},   // binary value is just above ...45
        {0.00005, "0.0001"},   // binary value is just above 0.00005
        {2.5e-5, "0.0000"},
        {0.125, "0.1250"},
        {-1.23456, "-1.2346"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const auto& c : cases) EXPECT_EQ(format_fixed(c.value, 4), c.expected) << c.expected;
    EXPECT_EQ(format_fixed(0.0625, 3), "0.062");  // exact tie rounds to even
    EXPECT_EQ(format_fixed(0.1875, 3), "0.188");
}

}  // namespace
}  // namespace korvane
