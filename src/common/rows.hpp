// A read-only view of embedding rows over one contiguous buffer.
//
// Rows are either uniform (row i starts at i * width) or ragged (row i spans
// [offsets[i], offsets[i + 1])); the core checks dimensions itself, so ragged input reaches it
// unchanged and can be reported by row index.
#pragma once

#include <cstddef>
#include <span>

namespace korvane {

struct RowsView {
    const double* data = nullptr;
    std::size_t count = 0;
    std::size_t width = 0;                  // uniform rows only
    const std::size_t* offsets = nullptr;   // count + 1 entries when ragged

    bool uniform() const noexcept { return offsets == nullptr; }
    bool empty() const noexcept { return count == 0; }
    std::size_t size() const noexcept { return count; }

    std::span<const double> operator[](std::size_t i) const noexcept {
        if (offsets) return {data + offsets[i], offsets[i + 1] - offsets[i]};
        return {data + i * width, width};
    }
};

}  // namespace korvane
