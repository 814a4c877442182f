// Reading a state out in forms people know: stabilizer generators and a
// graph with local Clifford gate words.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/state.hpp"

namespace lumora {

// The qubits asked for are not a union of entangled groups.
class NotAUnionOfGroups : public std::invalid_argument {
public:
    NotAUnionOfGroups() : std::invalid_argument("qubits must be a union of entangled groups") {}
};

// Stabilizer generators of the qubits `selected` (ascending, no repeats,
// each checked against the register; every qubit when `all`), as a sign
// and one letter of IXYZ per selected qubit. They are the reduced row
// echelon form with the columns X and Z of the first selected qubit, then
// X and Z of the next, and so on: each pivot column holds one 1, pivots
// ascend, so equal states give equal lists. Computed group by group, in
// time k^3/64 for a group of k qubits.
std::vector<std::string> canonical_stabilizers(const Lumora& s, bool all,
                                               const std::vector<std::size_t>& selected);

// The shortest word over H, S, X, Y, Z (applied left to right, the first
// letter first) equal to each local Clifford up to phase; "" for identity.
const std::string& clifford_word(LcOp op);

}  // namespace lumora
