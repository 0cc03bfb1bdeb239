// The Gram matrix XᵀX of a corpus, accumulated in cache-sized blocks of rows.
#pragma once

#include <cstddef>
#include <vector>

namespace korvane::projection {

// Width the Gram kernels work in: d rounded up to a multiple of 8 (padding columns are zero).
constexpr std::size_t gram_width(std::size_t d) { return (d + 7) / 8 * 8; }

// c[a][b] += Σ_k r[k][a]·r[k][b] for a ≤ b (the upper triangle), over `rows` rows of width `width`
// (a multiple of 8) stored row-major in r. c is width × width, row-major. Each entry sums its
// rows in order, so the result does not depend on the CPU or the thread count.
void accumulate_gram_upper(double* c, const double* r, std::size_t rows, std::size_t width) noexcept;

// Mirrors the upper triangle of the width × width matrix into the lower one.
void symmetrize_from_upper(std::vector<double>& c, std::size_t width) noexcept;

}  // namespace korvane::projection
