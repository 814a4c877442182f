// Which qubits can be entangled with a given one: its connected component.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/state.hpp"

namespace lumora {

// The vertices of the component of q, q included, in breadth-first order.
// The cost follows the size of the component, not the number of qubits.
std::vector<Qubit> entangled_group(const Lumora& s, std::size_t q);

}  // namespace lumora
