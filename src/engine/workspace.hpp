// Scratch memory of the engine's operations: the undo journal of a running
// operation, snapshots of neighbour sets, and small membership sets. A
// state keeps one workspace between mutating calls so that steady work
// allocates nothing; a preview makes its own.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/neighbor_set.hpp"

namespace lumora {

// A set of qubits sized for what it is about to hold: clearing it costs
// time proportional to that size, never to the number of qubits.
class MarkSet {
public:
    // Empties the set and sizes it for `expected` entries.
    void reset(std::size_t expected) {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, 2 * expected));
        count_ = 0;
        if (slots_.size() != capacity) {
            std::vector<Qubit> fresh(capacity, kNoQubit);
            slots_.swap(fresh);
            log2_capacity_ = static_cast<std::uint8_t>(std::countr_zero(capacity));
        } else {
            std::fill(slots_.begin(), slots_.end(), kNoQubit);
        }
    }

    // Returns true when q was not yet in the set. Grows past the expected
    // size if it must.
    bool insert(Qubit q) {
        if (2 * (count_ + 1) > slots_.size()) {
            grow();
        }
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = detail::hash_slot(q, log2_capacity_);
        while (slots_[i] != kNoQubit) {
            if (slots_[i] == q) {
                return false;
            }
            i = (i + 1) & mask;
        }
        slots_[i] = q;
        ++count_;
        return true;
    }

    bool contains(Qubit q) const noexcept {
        if (slots_.empty()) {
            return false;
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = detail::hash_slot(q, log2_capacity_);; i = (i + 1) & mask) {
            if (slots_[i] == q) {
                return true;
            }
            if (slots_[i] == kNoQubit) {
                return false;
            }
        }
    }

    std::size_t capacity() const noexcept { return slots_.size(); }

private:
    void grow() {
        std::vector<Qubit> old;
        old.swap(slots_);
        reset(std::max<std::size_t>(old.size(), 8));
        for (Qubit q : old) {
            if (q != kNoQubit) {
                insert(q);
            }
        }
    }

    std::vector<Qubit> slots_;
    std::size_t count_ = 0;
    std::uint8_t log2_capacity_ = 0;
};

// One entry of the undo journal: y was added to or removed from x's set.
struct ToggleRecord {
    Qubit x;
    Qubit y;
};

// The vertex operator v had before a change.
struct VopRecord {
    Qubit v;
    LcOp old;
};

struct Workspace {
    std::vector<ToggleRecord> toggles;
    std::vector<VopRecord> vops;
    // Snapshots of neighbour sets, taken before they change.
    std::vector<Qubit> first, second, third;
    std::vector<Qubit> to_add, to_remove;
    MarkSet in_first, in_second, in_third, in_target;
    // Elementary set updates since the last interrupt check.
    std::uint32_t ticks = 0;

    // Keeps what ordinary operations reuse; gives back what a rare huge
    // one grew.
    static constexpr std::size_t kKeep = std::size_t{1} << 16;
    void trim() noexcept {
        const std::size_t largest = std::max(
            {toggles.capacity(), vops.capacity(), first.capacity(), second.capacity(),
             third.capacity(), to_add.capacity(), to_remove.capacity(), in_first.capacity(),
             in_second.capacity(), in_third.capacity(), in_target.capacity()});
        if (largest > kKeep) {
            trim_now();
        }
    }
    void trim_now() noexcept;
};

}  // namespace lumora
