// Single-qubit measurement in the X, Y or Z basis, and the preview that
// runs the same measurements on a copy-on-write view of the state.
//
// The measured Pauli is carried through the qubit's vertex operator onto
// the bare graph state, which leaves three graph cases and a sign. The
// algorithms are templates over the records they edit and over the random
// source (the thread's generator, or a scripted sequence in tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "clifford/local_clifford.hpp"
#include "engine/editor.hpp"
#include "engine/engine.hpp"
#include "engine/records.hpp"
#include "engine/rng.hpp"
#include "engine/tableau_group.hpp"
#include "engine/transaction.hpp"

namespace lumora {

namespace detail {

// Graph-side X on v, with neighbours A = N(v) and a pivot b in A whose
// neighbours are B = N(b). Any pivot gives the same state; the one of least
// degree makes the update cheapest. With A' = A \ B, B' = B \ A and
// C = A n B, the edge update toggles the pairs of A' x B, of C x B' and
// b x (A \ {b}) (the pairs inside C are met twice and cancel). Per vertex:
// x in B' (v among them) flips A; x in A' \ {b} flips B + {b}; x in C and b
// itself flip (A xor B) \ {b}.
template <class Nodes>
void measure_graph_x(Editor<Nodes>& g, Qubit v, std::uint8_t r) {
    Workspace& w = g.work();
    QubitList& a_list = w.first;
    QubitList& b_list = w.second;
    QubitList& rest = w.third;
    g.snapshot(v, a_list);
    const Qubit b = g.lowest_degree_neighbor(v);
    g.snapshot(b, b_list);
    Members in_a(a_list, w, Workspace::kFirst);
    Members in_b(b_list, w, Workspace::kSecond);

    if (r == 0) {
        g.right_multiply(b, kLcZH);
        for (Qubit u : a_list) {
            if (u != b && !in_b.contains(u)) {
                g.right_multiply(u, kLcZ);
            }
        }
    } else {
        g.right_multiply(b, kLcXH);
        g.right_multiply(v, kLcZ);
        for (Qubit u : b_list) {
            if (u != v && !in_a.contains(u)) {
                g.right_multiply(u, kLcZ);
            }
        }
    }

    // (A xor B) \ {b}; b lies in A' because no vertex neighbours itself.
    rest.clear();
    rest.make_room(a_list.size() + b_list.size());
    for (Qubit q : a_list) {
        if (q != b && !in_b.contains(q)) {
            rest.push(q);
        }
    }
    for (Qubit q : b_list) {
        if (!in_a.contains(q)) {
            rest.push(q);
        }
    }
    Members flips_rest(rest, w, Workspace::kThird);
    for (Qubit x : b_list) {
        if (!in_a.contains(x)) {
            g.xor_into(x, in_a);
        }
    }
    for (Qubit x : a_list) {
        if (x == b || in_b.contains(x)) {
            g.xor_into(x, flips_rest);
        }
    }
    // Last, as it extends B by b for the vertices of A' \ {b}.
    b_list.push(b);  // the snapshot left room for it
    in_b.appended(b);
    for (Qubit x : a_list) {
        if (x != b && !in_b.contains(x)) {
            g.xor_into(x, in_b);
        }
    }
}

// Graph-side Y on v: every pair of N(v) + {v} is toggled, which joins the
// former neighbours' pairs and detaches v; g = S or S^dagger on all of
// them by the outcome.
template <class Nodes>
void measure_graph_y(Editor<Nodes>& g, Qubit v, std::uint8_t r) {
    const LcOp factor = r == 0 ? kLcS : kLcSdag;
    QubitList& members = g.work().first;
    g.snapshot(v, members);
    for (Qubit w : members) {
        g.right_multiply(w, factor);
    }
    members.push(v);  // the snapshot left room for it
    g.toggle_clique(members, Workspace::kFirst);
    g.right_multiply(v, factor);
}

// Graph-side Z on v: v is detached; outcome -1 puts Z on its former
// neighbours. Only removals: nothing here needs memory once the snapshot
// is taken, which lets short ones run without the journal.
template <class Nodes>
void measure_graph_z(Editor<Nodes>& g, Qubit v, std::uint8_t r) {
    QubitList& around = g.work().first;
    g.snapshot(v, around);
    for (Qubit w : around) {
        g.toggle_one(v, w);
        g.toggle_one(w, v);
    }
    if (r == 1) {
        for (Qubit w : around) {
            g.right_multiply(w, kLcZ);
        }
        g.right_multiply(v, kLcX);
    }
    g.right_multiply(v, kLcH);
}

// A graph-side Y toggles every pair of v's d neighbours. A local
// complementation at a neighbour w of degree e (e^2 / 2 toggles) multiplies
// vop_v by S on the graph side, which turns the Y into an X, pivoted at cost
// about d e: far cheaper at a hub whose neighbours have few neighbours of
// their own. The state is the same either way; the choice depends on the
// graph alone. True when it complemented. Kept out of line, so that the
// common measurements stay small.
template <class Nodes>
[[gnu::noinline]] bool take_cheaper_y_route(Editor<Nodes>& g, Qubit v) {
    const std::uint64_t d = g.degree(v);
    const Qubit w = g.lowest_degree_neighbor(v);
    const std::uint64_t e = g.degree(w);
    if (e * (e - 1) / 2 + d * e < d * (d + 1) / 2) {
        g.local_complement(w);
        return true;
    }
    return false;
}

}  // namespace detail

// Measures qubit v along `axis` and returns the outcome bit (0 for +1). One
// word is drawn for a random outcome, before anything changes, and none for
// a determined one: only the graph-side X of an isolated vertex is
// determined.
template <class Nodes, class Rng>
std::uint8_t measure(Editor<Nodes>& g, Qubit v, AxisCode axis, Rng& rng) {
    LcOp j = lc_inv[g.vop(v)];
    AxisCode graph_axis = lc_conj_axis[axis][j];
    if (graph_axis == kAxisX && g.degree(v) == 0) {
        return lc_conj_sign(j, axis);
    }
    if (graph_axis == kAxisY && g.degree(v) > 1 && detail::take_cheaper_y_route(g, v)) {
        j = lc_inv[g.vop(v)];
        graph_axis = lc_conj_axis[axis][j];
    }
    const std::uint8_t sign = lc_conj_sign(j, axis);
    const std::uint8_t r = draw_bit(rng);
    switch (graph_axis) {
        case kAxisX:
            detail::measure_graph_x(g, v, r);
            break;
        case kAxisY:
            detail::measure_graph_y(g, v, r);
            break;
        default:
            detail::measure_graph_z(g, v, r);
            break;
    }
    return sign ^ r;
}

// Largest degree whose detachment runs without journal or interrupt checks.
inline constexpr std::uint32_t kQuickDetachDegree = 4096;

// The same on the state itself; a failure part-way leaves it unchanged.
template <class Rng>
std::uint8_t measure(GraphState& s, std::size_t v, AxisCode axis, Rng& rng) {
    const Qubit q = s.qubit(v);
    if (s.node(q).kind == SetKind::tableau) [[unlikely]] {
        std::uint8_t outcome;
        if (measure_in_tableau(s, q, axis, rng, outcome)) {
            return outcome;
        }
    }
    const Node& node = s.node(q);
    if (store_limits.quick_paths && node.degree <= kQuickDetachDegree &&
        lc_conj_axis[axis][lc_inv[node.vop]] == kAxisZ) {
        // Only removals: sparse sets can only shrink, a block can thin.
        const bool in_block = node.kind == SetKind::dense;
        QuickNodes nodes(s);
        Workspace& work = s.workspace();
        Editor<QuickNodes> g(nodes, work);
        // The graph-side Z case of the general rule, written out so that the
        // hot path stays small.
        const std::uint8_t sign = lc_conj_sign(lc_inv[node.vop], axis);
        const std::uint8_t r = draw_bit(rng);
        detail::measure_graph_z(g, q, r);
        const std::uint8_t outcome = sign ^ r;
        Settle settle(s, in_block);
        for (Qubit w : work.first) {
            settle(w);
        }
        settle(q);
        return outcome;
    }
    Transaction txn(s);
    const std::uint8_t outcome = measure(txn.editor(), q, axis, rng);
    txn.commit();
    return outcome;
}

namespace detail {

// A preview of tableau member q on the view: a member that is a factor of
// the state gets its determined axis, as an isolated qubit does; any other
// draws its axis, and is measured and detached in the view's copy of the
// block, unless no later qubit of the preview is in that block (`alone`):
// then nothing reads the copy, and it is not made.
template <class Rng>
PeekRecord peek_tableau_member(OverlayNodes& view, Qubit q, std::size_t index, bool alone,
                               Rng& rng) {
    const Node& node = view.get(q);
    const TableauBlock* block = view.tableau(node);
    const Qubit local = node.tableau.local;
    const LcOp vop = node.vop;
    AxisCode factor;
    if (block->tableau.is_factor(local, factor)) {
        const AxisCode axis = lc_conj_axis[factor][vop];
        return {index,
                static_cast<std::uint8_t>(lc_conj_sign(lc_inv[vop], axis) ^
                                          block->tableau.determined_outcome(local, factor)),
                axis};
    }
    const AxisCode axis = draw_uniform3(rng);
    if (axis > kAxisZ) {
        unreachable("rng generates in the range 0..3");
    }
    const LcOp j = lc_inv[vop];
    const AxisCode graph_axis = lc_conj_axis[axis][j];
    const std::uint8_t sign = lc_conj_sign(j, axis);
    const std::uint8_t r = draw_bit(rng);
    if (alone) {
        return {index, static_cast<std::uint8_t>(sign ^ r), axis};
    }
    Node& mine = view.mut(q);
    TableauBlock& copy = *mine.tableau.block;
    const Qubit last = copy.members.back();
    if (last != q) {
        view.mut(last);  // before anything changes: copying can fail
    }
    copy.tableau.collapse(local, graph_axis, r);
    copy.tableau.remove_factor(local);
    copy.members[local] = last;
    copy.members.pop_back();
    if (last != q) {
        view.mut(last).tableau.local = local;
    }
    mine = fresh_node();
    mine.vop = lc_mul[vop][eigenstate_preparation(graph_axis, r)];
    return {index, static_cast<std::uint8_t>(sign ^ r), axis};
}

}  // namespace detail

// Measures each qubit of `qubits` (distinct indices) on one evolving
// copy-on-write view of the state, choosing the axis itself: a qubit with
// neighbours gets a uniformly random axis, an isolated one the axis whose
// outcome is determined. The state itself is never changed.
template <class Rng>
std::vector<PeekRecord> peek_measure_set(const GraphState& s,
                                         const std::vector<std::size_t>& qubits, Rng& rng) {
    // Every index is checked before the work starts.
    for (std::size_t q : qubits) {
        s.qubit(q);
    }
    // How many of the qubits each tableau holds, so that the last one
    // measured in it needs no copy of it.
    std::unordered_map<const TableauBlock*, std::size_t> in_tableau;
    for (std::size_t q : qubits) {
        if (const TableauBlock* block = tableau_of(s.node(static_cast<Qubit>(q)))) {
            ++in_tableau[block];
        }
    }
    OverlayNodes overlay(s);
    Workspace work(s.size());
    Editor<OverlayNodes> g(overlay, work);
    std::vector<PeekRecord> records;
    records.reserve(qubits.size());
    PollCounter poll;
    for (const std::size_t index : qubits) {
        const Qubit q = g.qubit(index);
        // Qubits that change little still add up over a huge preview.
        poll.tick(16);
        if (const TableauBlock* block = tableau_of(s.node(q))) {
            const bool last = --in_tableau[block] == 0;
            records.push_back(detail::peek_tableau_member(overlay, q, index, last, rng));
            continue;
        }
        AxisCode axis;
        if (g.degree(q) == 0) {
            axis = lc_axis_onto_x[lc_inv[g.vop(q)]];
        } else {
            axis = draw_uniform3(rng);
            if (axis > kAxisZ) {
                unreachable("rng generates in the range 0..3");
            }
        }
        records.push_back({index, measure(g, q, axis, rng), axis});
    }
    return records;
}

}  // namespace lumora
