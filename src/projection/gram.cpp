#include "projection/gram.hpp"

#include "common/simd.hpp"

namespace korvane::projection {

using simd::V4;

// A 4 × 8 tile of c per step: four broadcast values of row k times eight consecutive values of
// the same row, so each row block is read from cache while c stays in registers.
KORVANE_AVX2_CLONES void accumulate_gram_upper(double* c, const double* r, std::size_t rows,
                                               std::size_t width) noexcept {
    for (std::size_t a0 = 0; a0 < width; a0 += 4) {
        for (std::size_t b0 = a0 / 8 * 8; b0 < width; b0 += 8) {
            V4 acc[4][2];
            for (int i = 0; i < 4; ++i) __builtin_memcpy(acc[i], c + (a0 + i) * width + b0, sizeof acc[i]);
            for (std::size_t k = 0; k < rows; ++k) {
                const double* row = r + k * width;
                V4 x0, x1;
                __builtin_memcpy(&x0, row + b0, sizeof x0);
                __builtin_memcpy(&x1, row + b0 + 4, sizeof x1);
                for (int i = 0; i < 4; ++i) {
                    const double s = row[a0 + i];
                    const V4 sv = {s, s, s, s};
                    acc[i][0] += sv * x0;
                    acc[i][1] += sv * x1;
                }
            }
            for (int i = 0; i < 4; ++i) __builtin_memcpy(c + (a0 + i) * width + b0, acc[i], sizeof acc[i]);
        }
    }
}

void symmetrize_from_upper(std::vector<double>& c, std::size_t width) noexcept {
    for (std::size_t a = 0; a < width; ++a)
        for (std::size_t b = a + 1; b < width; ++b) c[b * width + a] = c[a * width + b];
}

}  // namespace korvane::projection
