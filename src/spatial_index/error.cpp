#include "spatial_index/error.hpp"

namespace korvane::spatial_index {

std::string display(const IndexError& error) {
    return std::get<ZeroDivisions>(error).field + " must be greater than zero";
}

}  // namespace korvane::spatial_index
