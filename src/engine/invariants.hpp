// What every stored state keeps, checked from scratch: for tests, fuzzers
// and diagnostics.
#pragma once

#include <string>

#include "engine/state.hpp"

namespace lumora {

// Checks that every record holds a valid set of its form (right degree,
// valid indices, no self-loop, hash sets findable, bitmaps in range, dense
// rows and their blocks' bookkeeping), that adjacency is symmetric and every
// vertex operator is valid; returns a description of the first defect, or
// an empty string.
std::string check_invariants(const GraphState& s);

}  // namespace lumora
