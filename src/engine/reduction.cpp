#include "engine/reduction.hpp"

#include "clifford/cz_table.hpp"
#include "clifford/reduction_sequence.hpp"

namespace lumora {

void local_complement(Lumora& s, std::size_t u) {
    const NeighborList& around = s.node(u).neighbors;
    const std::size_t degree = around.size();
    for (std::size_t i = 0; i < degree; ++i) {
        for (std::size_t j = i + 1; j < degree; ++j) {
            toggle_edge(s, around[i], around[j]);
        }
        right_multiply(s.node(around[i]), kLcS);
    }
    right_multiply(s.node(u), kLcSqrtX);
}

void remove_vop(Lumora& s, std::size_t v, std::size_t avoid) {
    Node& node = s.node(v);
    std::size_t partner = avoid;
    for (std::size_t w : node.neighbors) {
        if (w != avoid) {
            partner = w;
            break;
        }
    }
    // The sequence is chosen once; the steps change v's operator as they go.
    const ReductionSequence& seq = vop_reduction_seq[node.vop];
    for (std::size_t k = 0; k < seq.length; ++k) {
        local_complement(s, seq.steps[k] == kStepAtVertex ? v : partner);
    }
}

namespace {

bool has_neighbor_other_than(const Node& x, std::size_t y) noexcept {
    const NeighborList& list = x.neighbors;
    return list.size() >= 2 || (list.size() == 1 && list[0] != y);
}

}  // namespace

void cz(Lumora& s, std::size_t a, std::size_t b) {
    if (a == b) {
        throw SameQubitError("control and target must be different qubits, got " +
                             std::to_string(a) + " for both");
    }
    Node& na = s.node(a);
    Node& nb = s.node(b);
    // Each test looks at the graph as the previous reduction left it.
    if (has_neighbor_other_than(na, b)) {
        remove_vop(s, a, b);
    }
    if (has_neighbor_other_than(nb, a)) {
        remove_vop(s, b, a);
    }
    if (has_neighbor_other_than(na, b) && !lc_is_diagonal(na.vop)) {
        remove_vop(s, a, b);
    }
    const bool edge = has_edge(na, b);
    const CzEntry& entry = cz_table[edge ? 1 : 0][na.vop][nb.vop];
    if (entry.edge == 0) {
        remove_edge(na, a, nb, b);
    } else if (!edge) {
        add_edge(na, a, nb, b);
    }
    na.vop = entry.vop_a;
    nb.vop = entry.vop_b;
}

}  // namespace lumora
