#include "projection/contract.hpp"

namespace korvane::projection {

std::optional<ProjectionError> validate_corpus(const RowsView& embeddings, std::size_t minimum_dimension) {
    if (embeddings.empty()) return ProjectionError{EmptyInput{}};
    const std::size_t d = embeddings[0].size();
    if (d < minimum_dimension) return ProjectionError{DimensionTooLow{d, minimum_dimension}};
    if (embeddings.uniform()) return std::nullopt;
    for (std::size_t i = 1; i < embeddings.size(); ++i) {
        if (embeddings[i].size() != d) return ProjectionError{InconsistentDimension{i, d, embeddings[i].size()}};
    }
    return std::nullopt;
}

}  // namespace korvane::projection
