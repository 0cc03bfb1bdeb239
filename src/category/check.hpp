// Caller-contract checks that stay active in release builds.
#pragma once

namespace korvane::category {

// Writes the message to stderr and aborts.
[[noreturn]] void contract_failure(const char* message) noexcept;

inline void require(bool condition, const char* message) noexcept {
    if (!condition) contract_failure(message);
}

}  // namespace korvane::category
