#include "spatial_index/id_table.hpp"

#include <functional>

namespace korvane::spatial_index {
namespace {

// At most half full, so probe runs stay short.
std::size_t slots_for(std::size_t n) {
    std::size_t slots = 16;
    while (slots < 2 * n) slots *= 2;
    return slots;
}

}  // namespace

std::uint64_t IdTable::hash(std::string_view id) noexcept {
    // Mixed so that the low bits, which pick the slot, depend on every input bit.
    std::uint64_t h = std::hash<std::string_view>{}(id);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

void IdTable::place(EntryId e) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hashes_[e] & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = e + 1;
}

void IdTable::rehash(std::size_t slot_count) {
    slots_.assign(slot_count, 0);
    for (EntryId e = 0; e < hashes_.size(); ++e) place(e);
}

void IdTable::reserve(std::size_t n) {
    hashes_.reserve(n);
    if (slots_for(n) > slots_.size()) rehash(slots_for(n));
}

void IdTable::append(std::uint64_t h) {
    hashes_.push_back(h);
    if (2 * hashes_.size() > slots_.size()) {
        rehash(slots_for(hashes_.size()));
    } else {
        place(static_cast<EntryId>(hashes_.size() - 1));
    }
}

}  // namespace korvane::spatial_index
