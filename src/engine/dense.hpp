// Moving connected groups between sparse sets and dense blocks. None of
// this changes the represented state, only how it is stored; each
// conversion gets all its memory first, so one that fails (std::bad_alloc)
// leaves everything as it was.
#pragma once

#include <bit>
#include <cstddef>

#include "engine/state.hpp"

namespace lumora {

// Brings a and b, about to be joined by a two-qubit gate, into the same
// kind of storage: both sparse, or one dense block. A small sparse group
// joins the block of the other qubit, two blocks merge, or blocks that
// would be too large or too thin together go back to sparse sets.
void unite_for_gate(Lumora& s, Qubit a, Qubit b);

// Whether q's storage may call for a change after an operation changed its
// set: its block has thinned out, or its sparse set has doubled since its
// group was last looked at. Cheap, so that every operation can ask.
bool worth_reshaping(const Lumora& s, Qubit q) noexcept;

// Makes that change: a thin block goes back to sparse sets; a group that
// has grown dense becomes a block. Best effort: a conversion that cannot
// get memory is left out.
void reshape(Lumora& s, Qubit q) noexcept;

// The same, after a check cheap enough for every set an operation touches:
// a block that may have thinned, or a sparse set that has reached a new
// power of two since its group was last looked at.
inline void reshape_at(Lumora& s, Qubit q) noexcept {
    const Node& node = s.node(q);
    if (node.kind == SetKind::dense) {
        const DenseBlock& block = *node.dense.block;
        if (block.degree_sum * store_limits.dense_leave < std::uint64_t{block.size} * block.size) {
            reshape(s, q);
        }
    } else if (node.degree >= store_limits.dense_trigger &&
               std::bit_width(node.degree) > node.checked_level) {
        reshape(s, q);
    }
}

// The whole connected group of q into one new dense block (q's group must
// be sparse).
void densify_group(Lumora& s, Qubit q);

// Every member of the block back to sparse sets; the block goes.
void dissolve(Lumora& s, DenseBlock* block);

}  // namespace lumora
