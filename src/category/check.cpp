#include "category/check.hpp"

#include <cstdio>
#include <cstdlib>

namespace korvane::category {

void contract_failure(const char* message) noexcept {
    std::fprintf(stderr, "korvane: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

}  // namespace korvane::category
