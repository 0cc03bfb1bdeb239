// Fitting errors of every projection family, with their fixed display texts.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace korvane::projection {

struct EmptyInput {};
struct DimensionTooLow { std::uint64_t dimension; std::uint64_t minimum; };
struct InconsistentDimension { std::uint64_t index; std::uint64_t expected; std::uint64_t actual; };
struct TooFewEmbeddings { std::uint64_t required; std::uint64_t actual; };
struct InvalidBandwidth { double sigma; };
struct LengthMismatch { std::uint64_t expected; std::uint64_t actual; };

using ProjectionError = std::variant<EmptyInput, DimensionTooLow, InconsistentDimension, TooFewEmbeddings,
                                     InvalidBandwidth, LengthMismatch>;

std::string display(const ProjectionError& error);

// A projection input of the wrong length: a caller error, reported before any work.
struct WrongInputDimension {
    std::uint64_t expected;
    std::uint64_t actual;
    std::string display() const;  // "expected dimension {expected}, got {actual}"
};

}  // namespace korvane::projection
