// Single-qubit Clifford gates, controlled-Z and the controlled gates built
// around one controlled-Z.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/editor.hpp"
#include "engine/state.hpp"

namespace lumora {

// Applies gate g after the qubit's current operator; the index is checked
// before anything changes.
inline void apply_gate(Lumora& s, std::size_t q, LcOp g) {
    Node& node = s.node(s.qubit(q));
    node.vop = lc_mul[g][node.vop];
}

enum class TwoQubitGate : std::uint8_t { cz, cx, cy, xcx, xcy, xcz, ycx, ycy, ycz };

// Applies the controlled gate. control == target raises SameQubitError;
// both indices are checked before the first change, in the order in which
// the gate first uses them, and a failure part-way (out of memory, an
// interrupt) leaves the state unchanged.
void apply_two_qubit_gate(Lumora& s, TwoQubitGate gate, std::size_t control, std::size_t target);

inline void cz(Lumora& s, std::size_t a, std::size_t b) {
    apply_two_qubit_gate(s, TwoQubitGate::cz, a, b);
}

// Controlled-Z between distinct qubits a and b, inside a running operation.
void controlled_z(Editor<DirectNodes>& g, Qubit a, Qubit b);

}  // namespace lumora
