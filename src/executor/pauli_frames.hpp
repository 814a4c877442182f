// Small stabilizer tableaux over one or two qubits, to turn the gates of
// the circuit formats into the engine's local Cliffords and controlled-Z:
// each single-qubit gate is one local Clifford, each two-qubit gate local
// Cliffords around the fewest controlled-Z (or a swap).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "clifford/local_clifford.hpp"
#include "engine/engine.hpp"

namespace lumora::executor {

// A local Clifford on each of two qubits.
struct LocalPair {
    LcOp first = kLcIdentity;
    LcOp second = kLcIdentity;
};

// U = after . CZ . middle[k-1] . ... . CZ . middle[0] . before, with
// `cz_count` controlled-Z (at most 2), or U = SWAP . before when `swap`.
struct TwoQubitDecomposition {
    LocalPair before;
    std::uint8_t cz_count = 0;
    std::array<LocalPair, 2> after_cz{};  // the local pair after each controlled-Z
    bool swap = false;
};

// The local Clifford g with g X g^dagger = x_image and g Z g^dagger =
// z_image, images written as in the gate reference ("+X", "-Y").
LcOp local_clifford_for(std::string_view x_image, std::string_view z_image);

// The decomposition of the two-qubit gate with these images of X0, Z0, X1,
// Z1 (signed strings over two qubits, '_' for identity, "+X_").
TwoQubitDecomposition decompose_two_qubit(const std::array<std::string_view, 4>& images);

// A local Clifford that takes the given Pauli axis to +Z.
LcOp onto_z(AxisCode axis);

}  // namespace lumora::executor
