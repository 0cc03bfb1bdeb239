// The projection contract every family fulfils.
//
// A family is an immutable value after fitting, cheap to copy (large state is shared) and safe
// to use from many threads. `project` and `project_rich` take an embedding of the fitted
// dimensionality; callers check the length first with `check_input_dimension` (families that
// accept any length say so with `accepts_any_dimension`).
#pragma once

#include <concepts>
#include <optional>
#include <span>

#include "common/rows.hpp"
#include "projection/error.hpp"
#include "projection/types.hpp"

namespace korvane::projection {

template <class P>
concept Projection = requires(const P& p, std::span<const double> e) {
    { p.dimensionality() } -> std::convertible_to<std::size_t>;
    { p.project(e) } -> std::same_as<geometry::SphericalPoint>;
    { p.project_rich(e) } -> std::same_as<ProjectedPoint>;
    { P::accepts_any_dimension } -> std::convertible_to<bool>;
};

// The rich result of a family without its own: full certainty, unit projection magnitude.
inline ProjectedPoint default_rich(const geometry::SphericalPoint& position, std::span<const double> embedding) {
    return {position, 1.0, magnitude(embedding), 1.0};
}

template <Projection P>
std::optional<WrongInputDimension> check_input_dimension(const P& p, std::size_t length) {
    if (P::accepts_any_dimension || length == p.dimensionality()) return std::nullopt;
    return WrongInputDimension{p.dimensionality(), length};
}

// Validation every fit starts with: at least one embedding, dimension >= minimum, all rows alike.
std::optional<ProjectionError> validate_corpus(const RowsView& embeddings, std::size_t minimum_dimension);

}  // namespace korvane::projection
