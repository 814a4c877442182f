// Groups kept as stabilizer tableaux: a dense group becomes one before a
// two-qubit gate would complement in it, other groups join it for gates,
// measurements collapse it and detach the measured member, and it goes
// back to graph form (a dense block, which thins into sparse sets) when a
// measurement is determined, when it has shrunk, or when a multi-qubit
// operation needs the graph. Every step gets its memory first, so one that
// fails changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/neighbor_set.hpp"
#include "engine/rng.hpp"
#include "engine/state.hpp"
#include "engine/tableau_block.hpp"

namespace lumora {

inline TableauBlock* tableau_of(const Node& node) noexcept {
    return node.kind == SetKind::tableau ? node.tableau.block : nullptr;
}

// Before a two-qubit gate that would complement at a or b, the larger of
// whose degrees is `degree`: when their group is one, of at most dense_max
// and tableau_reach * degree members, and dense (2E >= m^2 / tableau_enter), it
// becomes a tableau, and true is returned. The decision depends on the graph
// alone, never on how the group is stored.
bool enter_tableau(GraphState& s, Qubit a, Qubit b, std::uint32_t degree);

// Brings a and b into one tableau and returns it; or, when the two groups
// together would be larger than a tableau may be, returns nullptr after
// every tableau among them has gone back to graph form.
TableauBlock* unite_in_tableau(GraphState& s, Qubit a, Qubit b);

// The groups kept as tableaux among `qubits` go back to graph form, all or
// none.
void leave_tableaux(GraphState& s, const Qubit* qubits, std::size_t count);

// Measures tableau member q along the axis that vop_q maps `axis` to, with
// the random bit r; q leaves the group. Cannot fail.
void detach_measured(GraphState& s, Qubit q, AxisCode graph_axis, std::uint8_t r) noexcept;

// Measures member q when its group stays a tableau for it: sets `outcome`
// and returns true. Returns false, having drawn nothing, after the group
// went back to graph form (a determined outcome, or a group that has
// shrunk), where the caller measures it.
template <class Rng>
[[gnu::noinline]] bool measure_in_tableau(GraphState& s, Qubit q, AxisCode axis, Rng& rng,
                                          std::uint8_t& outcome) {
    const Node& node = s.node(q);
    const TableauBlock& block = *node.tableau.block;
    const LcOp j = lc_inv[node.vop];
    const AxisCode graph_axis = lc_conj_axis[axis][j];
    if (block.members.size() <= store_limits.tableau_leave ||
        block.tableau.determined(node.tableau.local, graph_axis)) {
        leave_tableaux(s, &q, 1);
        return false;
    }
    const std::uint8_t sign = lc_conj_sign(j, axis);
    const std::uint8_t r = draw_bit(rng);
    detach_measured(s, q, graph_axis, r);
    outcome = sign ^ r;
    return true;
}

// What readers see of a member: its graph-form vertex operator, degree and
// neighbours (from the block's graph form, made once per change).
LcOp graph_vop(const GraphState& s, Qubit q);
std::uint32_t graph_degree(const GraphState& s, Qubit q);

template <class F>
void for_each_graph_neighbor(const GraphState& s, Qubit q, F&& f) {
    const Node& node = s.node(q);
    if (node.kind != SetKind::tableau) {
        for_each_neighbor(node, f);
        return;
    }
    const auto graph = graph_of(*node.tableau.block);
    for (Qubit w : graph->neighbours[node.tableau.local]) {
        f(w);
    }
}

}  // namespace lumora
