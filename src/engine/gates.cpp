#include "engine/gates.hpp"

#include <array>
#include <string>
#include <vector>

#include "engine/tableau_group.hpp"
#include "engine/transaction.hpp"

namespace lumora {

namespace {

using StateEditor = Editor<DirectNodes>;

// What a controlled-Z needs to know of a vertex operator.
struct VopTraits {
    // The graph-side image vop^dagger Z vop of the qubit's Z: the operator
    // a controlled-Z meets once it is pulled through the vertex operators.
    AxisCode z_image;
    std::uint8_t z_minus;
    // An isolated qubit is in the state vop|+>, the +1 eigenstate of
    // vop X vop^dagger.
    AxisCode x_image;
    std::uint8_t x_minus;
    // When that image is +-X or +-Y, the diagonal operator (I, Z, S or
    // S^dagger) that prepares the same state from |+>: the qubit may carry
    // it instead, which puts its Z image on the Z axis.
    LcOp diagonal;
};

constexpr std::array<VopTraits, kLcCount> vop_traits = [] {
    std::array<VopTraits, kLcCount> table{};
    for (int v = 0; v < kLcCount; ++v) {
        const LcOp vop = static_cast<LcOp>(v);
        VopTraits& t = table[v];
        t.z_image = lc_conj_axis[kAxisZ][lc_inv[vop]];
        t.z_minus = lc_conj_sign(lc_inv[vop], kAxisZ);
        t.x_image = lc_conj_axis[kAxisX][vop];
        t.x_minus = lc_conj_sign(vop, kAxisX);
        if (t.x_image == kAxisX) {
            t.diagonal = t.x_minus ? kLcZ : kLcIdentity;
        } else {
            t.diagonal = t.x_minus ? kLcSdag : kLcS;
        }
    }
    return table;
}();

AxisCode z_image_axis(LcOp vop) {
    return vop_traits[vop].z_image;
}
std::uint8_t z_image_sign(LcOp vop) {
    return vop_traits[vop].z_minus;
}
LcOp diagonal_preparing(LcOp vop) {
    return vop_traits[vop].diagonal;
}

bool is_z_eigenstate(const StateEditor& g, Qubit q) {
    return g.degree(q) == 0 && vop_traits[g.vop(q)].x_image == kAxisZ;
}

// With c's Z image on the Z axis, CZ (vop_c x vop_t)|G> equals
// (vop_c x vop_t) C(+-Z_c, P_t)|G>, P_t = +-Q the Z image of t. On a graph
// state X_t|G> = Z_N(t)|G> and Y_t|G> = -i Z_t Z_N(t)|G>, so the controlled
// Pauli C(Z_c, Q_t) is
//   Q = Z: CZ on c-t;
//   Q = X: CZ from c to every w in N(t) (a Z on c when c is in N(t));
//   Q = Y: the same plus CZ on c-t and S^dagger on c;
// and C(Z_c, -Q) adds Z on c. All operators on c's graph side are diagonal
// and commute with the toggles. For an image -Z on c, C(-Z_c, P_t) =
// P_t C(Z_c, P_t), and vop_t P_t = Z vop_t: a Z gate on t.
void controlled_pauli(StateEditor& g, Qubit c, Qubit t) {
    const std::uint8_t control_minus = z_image_sign(g.vop(c));
    const AxisCode axis = z_image_axis(g.vop(t));
    const std::uint8_t target_minus = z_image_sign(g.vop(t));
    if (axis == kAxisZ) {
        g.toggle_edge(c, t);
    } else if (g.get(c).kind == SetKind::dense) {
        // Both in one block: the flips are t's row, word by word.
        const bool c_adjacent = g.toggle_star_from_row(c, t, axis == kAxisY);
        if (c_adjacent) {
            g.right_multiply(c, kLcZ);
        }
        if (axis == kAxisY) {
            g.right_multiply(c, kLcSdag);
        }
    } else {
        Workspace& w = g.work();
        QubitList& flips = w.first;
        g.snapshot(t, flips);
        bool c_adjacent = false;
        for (std::size_t i = 0; i < flips.size(); ++i) {
            if (flips[i] == c) {
                c_adjacent = true;
                flips[i] = flips.back();
                flips.pop_back();
                break;
            }
        }
        if (axis == kAxisY) {
            flips.push(t);  // the snapshot left room for it
        }
        Members targets(flips, w, Workspace::kFirst);
        g.toggle_star(c, targets);
        if (c_adjacent) {
            g.right_multiply(c, kLcZ);
        }
        if (axis == kAxisY) {
            g.right_multiply(c, kLcSdag);
        }
    }
    if (target_minus) {
        g.right_multiply(c, kLcZ);
    }
    if (control_minus) {
        g.left_multiply(t, kLcZ);
    }
}

// Rough cost, in set updates, of bringing q's Z image onto the Z axis: a
// complementation at a vertex of degree d toggles about d^2 / 2 pairs.
// The estimate is the same whatever the storage, so that the choice (and
// with it the graph that results) depends on the graph alone.
double cost_onto_z_axis(const StateEditor& g, Qubit q) {
    const double d = g.degree(q);
    if (z_image_axis(g.vop(q)) == kAxisY) {
        return d * d;
    }
    const double e = g.lowest_neighbor_degree(q);
    return e * e + (d + e) * (d + e);
}

// A complementation at q multiplies vop_q by sqrt(X) on the right, which
// turns an image +-Y into +-Z; one at a neighbour multiplies it by S, which
// turns +-X into -+Y.
void bring_onto_z_axis(StateEditor& g, Qubit q) {
    if (z_image_axis(g.vop(q)) == kAxisX) {
        g.local_complement(g.lowest_degree_neighbor(q));
    }
    g.local_complement(q);
}

}  // namespace

void controlled_z(StateEditor& g, Qubit a, Qubit b) {
    // A qubit in |0> or |1> turns the gate into nothing or a Z on the other.
    for (const auto& [q, other] : {std::array<Qubit, 2>{a, b}, std::array<Qubit, 2>{b, a}}) {
        if (is_z_eigenstate(g, q)) {
            if (vop_traits[g.vop(q)].x_minus) {
                g.left_multiply(other, kLcZ);
            }
            return;
        }
    }
    for (Qubit q : {a, b}) {
        if (g.degree(q) == 0) {
            g.set_vop(q, diagonal_preparing(g.vop(q)));
        }
    }
    Qubit control;
    if (z_image_axis(g.vop(a)) == kAxisZ) {
        control = a;
    } else if (z_image_axis(g.vop(b)) == kAxisZ) {
        control = b;
    } else {
        // The later controlled Pauli costs about the target's degree.
        const bool use_a =
            cost_onto_z_axis(g, a) + g.degree(b) <= cost_onto_z_axis(g, b) + g.degree(a);
        control = use_a ? a : b;
        bring_onto_z_axis(g, control);
    }
    controlled_pauli(g, control, control == a ? b : a);
}

namespace {

// A controlled gate is a basis change on each qubit, one cz, and the
// inverse basis change. Changes on different qubits commute, so only the
// order within one qubit matters; each is one local Clifford (the identity
// for none).
struct BasisChange {
    LcOp control_before;
    LcOp target_before;
    LcOp control_after;
    LcOp target_after;
    bool target_used_first;  // which index the gate looks at first
};

constexpr LcOp none = kLcIdentity;
constexpr LcOp h = kLcH;
constexpr LcOp sdag_h = lc_mul[kLcH][kLcSdag];  // S^dagger, then H
constexpr LcOp h_s = lc_mul[kLcS][kLcH];        // H, then S

// Indexed by TwoQubitGate.
constexpr std::array<BasisChange, 9> basis_changes = {{
    {none, none, none, none, false},   // cz
    {none, h, none, h, true},          // cx
    {none, sdag_h, none, h_s, true},   // cy
    {h, h, h, h, false},               // xcx
    {h, sdag_h, h, h_s, true},         // xcy
    {h, none, h, none, false},         // xcz
    {sdag_h, h, h_s, h, false},        // ycx
    {sdag_h, sdag_h, h_s, h_s, true},  // ycy
    {sdag_h, none, h_s, none, false},  // ycz
}};

void rotate(StateEditor& g, Qubit q, LcOp r) {
    if (r != kLcIdentity) {
        g.left_multiply(q, r);
    }
}

LcOp rotated(LcOp vop, LcOp r) {
    return lc_mul[r][vop];
}

Qubit only_neighbor(const Node& node) {
    Qubit found = kNoQubit;
    for_each_neighbor(node, [&](Qubit q) { found = q; });
    return found;
}

// The gates on graph-form operands that flip at most one edge and need no
// complementation (most gates of most circuits) run without the undo
// journal: every decision is
// made on the vertex operators first, the one insertion that may need
// memory reserves it before anything changes, and the rest cannot fail.
// The rules are those of controlled_z() and controlled_pauli(), applied to
// local copies of the two operators. Returns false, having changed
// nothing, when the gate needs more.
// How a set is stored matters only for the one flip; whether a block has
// thinned, or a set grown dense, is asked after the next journaled
// operation, which keeps these gates lean.
bool quick_controlled_gate(GraphState& s, const BasisChange& change, Qubit a, Qubit b) {
    const std::uint32_t degree_a = s.node(a).degree;
    const std::uint32_t degree_b = s.node(b).degree;
    // A tableau member has no set (degree 0) and is not isolated.
    if ((degree_a == 0 && s.node(a).kind == SetKind::tableau) ||
        (degree_b == 0 && s.node(b).kind == SetKind::tableau)) {
        return false;
    }
    LcOp va = rotated(s.node(a).vop, change.control_before);
    LcOp vb = rotated(s.node(b).vop, change.target_before);
    bool flip = false;
    Qubit x = 0, y = 0;
    if (degree_a == 0 && vop_traits[va].x_image == kAxisZ) {
        if (vop_traits[va].x_minus) {
            vb = lc_mul[kLcZ][vb];
        }
    } else if (degree_b == 0 && vop_traits[vb].x_image == kAxisZ) {
        if (vop_traits[vb].x_minus) {
            va = lc_mul[kLcZ][va];
        }
    } else {
        if (degree_a == 0) {
            va = diagonal_preparing(va);
        }
        if (degree_b == 0) {
            vb = diagonal_preparing(vb);
        }
        const bool a_controls = z_image_axis(va) == kAxisZ;
        if (!a_controls && z_image_axis(vb) != kAxisZ) {
            return false;
        }
        const Qubit c = a_controls ? a : b;
        const Qubit t = a_controls ? b : a;
        LcOp& vc = a_controls ? va : vb;
        LcOp& vt = a_controls ? vb : va;
        const std::uint8_t control_minus = z_image_sign(vc);
        const std::uint8_t target_minus = z_image_sign(vt);
        const AxisCode axis = z_image_axis(vt);
        if (axis == kAxisZ) {
            flip = true;
            x = c;
            y = t;
        } else {
            const Node& nt = s.node(t);
            if (nt.degree > 1) {
                return false;
            }
            const Qubit w = nt.degree == 1 ? only_neighbor(nt) : kNoQubit;
            const bool c_adjacent = w == c;
            const Qubit other = c_adjacent ? kNoQubit : w;
            if (axis == kAxisX) {
                flip = other != kNoQubit;
                x = c;
                y = other;
            } else {
                if (other != kNoQubit) {
                    return false;
                }
                flip = true;
                x = c;
                y = t;
                vc = lc_mul[vc][kLcSdag];
            }
            if (c_adjacent) {
                vc = lc_mul[vc][kLcZ];
            }
        }
        if (target_minus) {
            vc = lc_mul[vc][kLcZ];
        }
        if (control_minus) {
            vt = lc_mul[kLcZ][vt];
        }
    }
    if (flip) {
        // Operands stored apart (one dense, or two blocks) are first brought
        // together on the general path.
        const Node& nx = s.node(x);
        const Node& ny = s.node(y);
        if ((nx.kind == SetKind::dense || ny.kind == SetKind::dense) &&
            (nx.kind != ny.kind || nx.dense.block != ny.dense.block)) [[unlikely]] {
            return false;
        }
    }
    QuickNodes nodes(s);
    Editor<QuickNodes> g(nodes, s.workspace());
    // The one insertion reserves room first; a removal is settled.
    if (flip && g.toggle_edge(x, y)) {
        Settle settle(s, false);
        settle(x);
        settle(y);
    }
    g.set_vop(a, rotated(va, change.control_after));
    g.set_vop(b, rotated(vb, change.target_after));
    return true;
}

// Whether this gate looks at its operands' group: one in tableau_sample,
// fixed by the operands and the degree, so that the graph alone decides.
bool picked_to_look(Qubit c, Qubit t, std::uint32_t degree) noexcept {
    const std::uint32_t pick = ((c * 0x9E3779B9u) ^ (t * 0x85EBCA6Bu) ^ degree) * 0xC2B2AE35u >> 16;
    return pick % store_limits.tableau_sample == 0;
}

// Whether the gate's controlled-Z will complement: both operands have
// neighbours or are in X or Y eigenstates, and neither Z image is on the
// Z axis once isolated ones carry their diagonal operator.
bool complements(const GraphState& s, const BasisChange& change, Qubit a, Qubit b) {
    const Node& na = s.node(a);
    const Node& nb = s.node(b);
    LcOp va = rotated(na.vop, change.control_before);
    LcOp vb = rotated(nb.vop, change.target_before);
    if ((na.degree == 0 && vop_traits[va].x_image == kAxisZ) ||
        (nb.degree == 0 && vop_traits[vb].x_image == kAxisZ)) {
        return false;
    }
    if (na.degree == 0) {
        va = diagonal_preparing(va);
    }
    if (nb.degree == 0) {
        vb = diagonal_preparing(vb);
    }
    return z_image_axis(va) != kAxisZ && z_image_axis(vb) != kAxisZ;
}

// The gate on operands in one tableau: their vertex operators and the basis
// change go into it, the controlled-Z, and the inverse basis change is left
// as their vertex operators. Cannot fail.
// A member's frame, after the basis change `before`, goes into the tableau
// ahead of a controlled-Z, and `after` becomes its frame. A diagonal one (Z
// to +Z) commutes with the controlled-Z and stays in the frame instead,
// which spares a pass over the member's columns.
void push_through_cz(Tableau& tableau, Node& node, LcOp before, LcOp after) noexcept {
    const LcOp v = rotated(node.vop, before);
    if (lc_conj_axis[kAxisZ][v] == kAxisZ && lc_conj_sign(v, kAxisZ) == 0) {
        node.vop = rotated(v, after);
        return;
    }
    tableau.apply(node.tableau.local, v);
    node.vop = after;
}

void gate_in_tableau(GraphState& s, TableauBlock& block, const BasisChange& change, Qubit c,
                     Qubit t) noexcept {
    Node& nc = s.node(c);
    Node& nt = s.node(t);
    push_through_cz(block.tableau, nc, change.control_before, change.control_after);
    push_through_cz(block.tableau, nt, change.target_before, change.target_after);
    block.tableau.cz(nc.tableau.local, nt.tableau.local);
    block.changed();
}

// The gate where an operand is a tableau member (`member`), or on a group
// that the rule makes a tableau first. False, having changed nothing the
// graph path cares about, when the gate is to run on the graph. Out of
// line, so that the common gates stay small.
[[gnu::noinline]] bool tableau_gate(GraphState& s, const BasisChange& change, Qubit c, Qubit t,
                                    bool member) {
    if (member) {
        TableauBlock* block = unite_in_tableau(s, c, t);
        if (block == nullptr) {
            return false;
        }
        gate_in_tableau(s, *block, change, c, t);
        return true;
    }
    const std::uint32_t degree = std::max(s.node(c).degree, s.node(t).degree);
    if (degree < store_limits.tableau_min || !picked_to_look(c, t, degree) ||
        !complements(s, change, c, t) || !enter_tableau(s, c, t, degree)) {
        return false;
    }
    gate_in_tableau(s, *s.node(c).tableau.block, change, c, t);
    return true;
}

// Every gate the quick path leaves: in a tableau, or journaled on the graph.
// Out of line, so that the quick path stays lean.
[[gnu::noinline]] void general_gate(GraphState& s, TwoQubitGate gate, Qubit c, Qubit t) {
    const BasisChange& change = basis_changes[static_cast<std::size_t>(gate)];
    if (s.node(c).kind == SetKind::tableau || s.node(t).kind == SetKind::tableau) {
        if (tableau_gate(s, change, c, t, true)) {
            return;
        }
    } else if (store_limits.tableau_min != 0 && tableau_gate(s, change, c, t, false)) {
        return;
    }
    Transaction txn(s);
    unite_for_gate(s, c, t);
    controlled_gate(txn.editor(), gate, c, t);
    txn.commit();
}

}  // namespace

void apply_two_qubit_gate(GraphState& s, TwoQubitGate gate, std::size_t control,
                          std::size_t target) {
    if (control == target) {
        throw SameQubitError("control and target must be different qubits, got " +
                             std::to_string(control) + " for both");
    }
    const BasisChange& change = basis_changes[static_cast<std::size_t>(gate)];
    if (change.target_used_first) {
        s.qubit(target);
    }
    const Qubit c = s.qubit(control);
    const Qubit t = s.qubit(target);
    if (store_limits.quick_paths && quick_controlled_gate(s, change, c, t)) {
        return;
    }
    general_gate(s, gate, c, t);
}

void controlled_gate(StateEditor& g, TwoQubitGate gate, Qubit c, Qubit t) {
    const BasisChange& change = basis_changes[static_cast<std::size_t>(gate)];
    rotate(g, c, change.control_before);
    rotate(g, t, change.target_before);
    controlled_z(g, c, t);
    rotate(g, t, change.target_after);
    rotate(g, c, change.control_after);
}

}  // namespace lumora
