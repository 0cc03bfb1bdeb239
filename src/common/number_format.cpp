#include "common/number_format.hpp"

#include <charconv>
#include <cmath>

namespace korvane {
namespace {

// 5e-324 in positional form needs 327 characters.
constexpr std::size_t kFixedBufferSize = 400;

bool append_non_finite(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

void append_display(std::string& out, double value) {
    if (append_non_finite(out, value)) return;
    char buffer[kFixedBufferSize];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    (void)ec;  // the buffer holds every finite double
    out.append(buffer, end);
}

void append_fixed(std::string& out, double value, int decimals) {
    if (append_non_finite(out, value)) return;
    char buffer[kFixedBufferSize + 64];
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (ec != std::errc{}) return;
    out.append(buffer, end);
}

std::string format_display(double value) {
    std::string out;
    append_display(out, value);
    return out;
}

std::string format_fixed(double value, int decimals) {
    std::string out;
    append_fixed(out, value, decimals);
    return out;
}

}  // namespace korvane
