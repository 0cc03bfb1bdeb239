// Strict JSON (RFC 8259) reading into the DOM of common/json.hpp.
//
// No comments, trailing commas, NaN/Infinity, leading zeros or byte-order mark; strings must be
// valid UTF-8 and \u escapes must pair surrogates.  Numbers are correctly rounded; a magnitude
// beyond the double range is an error, underflow quietly becomes zero or a subnormal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "common/json.hpp"
#include "common/result.hpp"

namespace korvane::json {

// Arrays and objects nested deeper than this are rejected instead of exhausting the stack.
inline constexpr std::size_t kMaxDepth = 512;

struct ParseError {
    std::string message;  // e.g. "expected value"
    std::size_t line = 1;    // 1-based
    std::size_t column = 1;  // 1-based, in bytes
    std::size_t offset = 0;  // 0-based byte offset into the parsed text

    // "expected value at line 1 column 5"
    std::string display() const;
};

// A whole document: one value, surrounded only by whitespace.
Result<Value, ParseError> parse(std::string_view text);

// One value after optional leading whitespace, and the offset just past it; whatever follows is
// left for the caller (JSON Lines checks the rest of its line).
Result<std::pair<Value, std::size_t>, ParseError> parse_prefix(std::string_view text);

}  // namespace korvane::json
