// A set of qubit indices for one call's working data: open addressing with
// linear probing, starting empty and growing with what is inserted, so its
// cost follows the number of entries and never the number of qubits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora {

class FlatIndexSet {
public:
    // Returns true when the index was not yet present.
    bool insert(std::size_t index) {
        if (index == kEmpty) {
            // The empty-slot marker is itself a valid index; it is kept aside.
            const bool fresh = !holds_marker_;
            holds_marker_ = true;
            count_ += fresh ? 1 : 0;
            return fresh;
        }
        if ((count_ + 1) * 2 > slots_.size()) {
            grow();
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = mix(index) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == index) {
                return false;
            }
            if (slots_[i] == kEmpty) {
                slots_[i] = index;
                ++count_;
                return true;
            }
        }
    }

private:
    static constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);

    static std::size_t mix(std::size_t x) noexcept {
        std::uint64_t z = static_cast<std::uint64_t>(x);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return static_cast<std::size_t>(z ^ (z >> 31));
    }

    void grow() {
        std::vector<std::size_t> old;
        old.swap(slots_);
        slots_.assign(old.empty() ? 16 : old.size() * 2, kEmpty);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t index : old) {
            if (index == kEmpty) {
                continue;
            }
            std::size_t i = mix(index) & mask;
            while (slots_[i] != kEmpty) {
                i = (i + 1) & mask;
            }
            slots_[i] = index;
        }
    }

    std::vector<std::size_t> slots_;
    std::size_t count_ = 0;
    bool holds_marker_ = false;
};

}  // namespace lumora
