// Single-qubit Clifford gates and the controlled gates built around one cz.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/state.hpp"

namespace lumora {

// Applies gate g after the qubit's current operator; the index is checked
// before anything changes.
inline void apply_gate(Lumora& s, std::size_t q, LcOp g) {
    left_multiply(s.node(q), g);
}

enum class TwoQubitGate : std::uint8_t { cz, cx, cy, xcx, xcy, xcz, ycx, ycy, ycz };

// Applies the controlled gate. control == target raises SameQubitError;
// both indices are checked before the first change, in the order in which
// the gate first uses them.
void apply_two_qubit_gate(Lumora& s, TwoQubitGate gate, std::size_t control, std::size_t target);

}  // namespace lumora
