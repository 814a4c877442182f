// Moving connected groups between sparse sets and dense blocks. None of
// this changes the represented state, only how it is stored; each
// conversion gets all its memory first, so one that fails (std::bad_alloc)
// leaves everything as it was.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/state.hpp"

namespace lumora {

// Brings a and b, about to be joined by a two-qubit gate, into the same
// kind of storage: both sparse, or one dense block. A small sparse group
// joins the block of the other qubit, two blocks merge, or blocks that
// would be too large or too thin together go back to sparse sets.
void unite_for_gate(GraphState& s, Qubit a, Qubit b);

// The same for all of `qubits` at once: afterwards they are all sparse or
// all rows of one block, so that gates among them need no conversion.
void unite_all(GraphState& s, const Qubit* qubits, std::size_t count);

// 2E >= m^2 / divisor, with 2E the degree sum: the density test of the
// rule, with divisor dense_enter to become a block, dense_leave to stay one.
inline bool dense_by(std::uint64_t degree_sum, std::uint64_t members, std::uint32_t divisor) {
    return degree_sum * divisor >= members * members;
}

// Changes q's storage where the rule calls for it after an operation
// changed its set: a thin block goes back to sparse sets; a group that has
// grown dense becomes a block. Best effort: a conversion that cannot get
// memory is left out.
void reshape(GraphState& s, Qubit q) noexcept;

// The same, after a check cheap enough for every set an operation touches:
// a block that may have thinned, or a sparse set that has reached a new
// power of two since its group was last looked at.
inline void reshape_at(GraphState& s, Qubit q) noexcept {
    const Node& node = s.node(q);
    if (node.kind == SetKind::dense) {
        const DenseBlock& block = *node.dense.block;
        if (!dense_by(block.degree_sum, block.size, store_limits.dense_leave)) {
            reshape(s, q);
        }
    } else if (node.degree >= store_limits.dense_trigger &&
               std::bit_width(node.degree) > node.checked_level) {
        reshape(s, q);
    }
}

// The sparse group of q, by breadth-first search, unless it has more than
// `limit` members: returns false when it has. Marks what it finds in the
// workspace's flags and clears them again.
bool sparse_group(GraphState& s, Qubit q, std::size_t limit, std::vector<Qubit>& members,
                  std::uint64_t& degree_sum);

// The whole connected group of q into one new dense block (q's group must
// be sparse).
void densify_group(GraphState& s, Qubit q);

// Every member of the block back to sparse sets; the block goes.
void dissolve(GraphState& s, DenseBlock* block);

}  // namespace lumora
