// Id lookup for the spatial index: an open-addressing table of entry numbers. The ids stay in
// the items; the table holds only each entry's hash, so a lookup touches one slot and one id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "spatial_index/item.hpp"

namespace korvane::spatial_index {

class IdTable {
public:
    static std::uint64_t hash(std::string_view id) noexcept;

    std::size_t size() const noexcept { return hashes_.size(); }

    // id_of(EntryId) gives that entry's id.
    template <class IdOf>
    std::optional<EntryId> find(std::string_view id, std::uint64_t h, const IdOf& id_of) const {
        if (slots_.empty()) return std::nullopt;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const std::uint32_t slot = slots_[i];
            if (slot == 0) return std::nullopt;
            const EntryId e = slot - 1;
            if (hashes_[e] == h && std::string_view(id_of(e)) == id) return e;
        }
    }

    // Adds entry number size() under hash h; the id must be absent.
    void append(std::uint64_t h);
    void reserve(std::size_t n);

private:
    void rehash(std::size_t slot_count);
    void place(EntryId e);

    std::vector<std::uint32_t> slots_;    // entry + 1, 0 when empty; power-of-two size
    std::vector<std::uint64_t> hashes_;   // by entry
};

}  // namespace korvane::spatial_index
