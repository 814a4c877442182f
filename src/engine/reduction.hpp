// Local complementation, vertex-operator reduction and controlled-Z.
#pragma once

#include <cstddef>

#include "engine/state.hpp"

namespace lumora {

// Complements the graph at u (toggles every pair of u's neighbours, in list
// order) and compensates on the vertex operators, so the represented state
// is unchanged. u's own list is not changed.
void local_complement(Lumora& s, std::size_t u);

// Brings the vertex operator of v to the identity by complementations at v
// and at one partner neighbour, which is never `avoid`.
void remove_vop(Lumora& s, std::size_t v, std::size_t avoid);

// Controlled-Z between a and b (a != b). The argument order decides which
// qubit is reduced first and so the graph that represents the result.
// Both indices are checked before anything changes.
void cz(Lumora& s, std::size_t a, std::size_t b);

}  // namespace lumora
