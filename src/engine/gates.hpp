// The rule of the controlled-Z inside a running operation; the gates
// themselves are in the front door (engine.hpp).
#pragma once

#include "engine/editor.hpp"
#include "engine/engine.hpp"
#include "engine/records.hpp"

namespace lumora {

// Controlled-Z between distinct qubits a and b, inside a running operation.
void controlled_z(Editor<DirectNodes>& g, Qubit a, Qubit b);

// The controlled gate between distinct qubits inside a running operation;
// both must already be in one form (both sparse, or rows of one block).
void controlled_gate(Editor<DirectNodes>& g, TwoQubitGate gate, Qubit control, Qubit target);

}  // namespace lumora
