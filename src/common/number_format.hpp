// The two textual number forms the whole system shares.
//
// Display form (messages, reprs): shortest round-trip digits, positional, no exponent, no ".0"
// for whole values, "NaN" / "inf" / "-inf".  Fixed form: exactly N decimals, rounded half to
// even on the binary value.
#pragma once

#include <cstdint>
#include <string>

namespace korvane {

std::string format_display(double value);
std::string format_fixed(double value, int decimals);

// Appending variants for building longer texts without temporaries.
void append_display(std::string& out, double value);
void append_fixed(std::string& out, double value, int decimals);

inline std::string format_display(std::uint64_t value) { return std::to_string(value); }
inline std::string format_display(std::int64_t value) { return std::to_string(value); }

}  // namespace korvane
