// Single-qubit measurement in the X, Y or Z basis, and the measurement
// preview that runs the same measurement on a private copy of the state.
//
// The algorithms are templates over the node store (the real state or a
// preview copy) and over the random source (the thread's generator, or a
// scripted sequence in tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

#include "clifford/local_clifford.hpp"
#include "engine/rng.hpp"
#include "engine/state.hpp"

namespace lumora {

namespace detail {

// Graph-side X measurement. The only case with a determined outcome: an
// isolated vertex is an X eigenstate.
template <class Store, class Rng>
std::uint8_t measure_graph_x(Store& s, std::size_t v, Node& nv, Rng& rng) {
    if (nv.neighbors.empty()) {
        return 0;
    }
    const std::uint8_t r = draw_bit(rng);
    const std::size_t b = nv.neighbors[0];
    Node& nb = s.node(b);
    if (r == 0) {
        right_multiply(nb, 11);
        for (std::size_t u : nv.neighbors) {
            if (u != b && !nb.neighbors.contains(u)) {
                right_multiply(s.node(u), kLcZ);
            }
        }
    } else {
        right_multiply(nb, 9);
        right_multiply(nv, kLcZ);
        for (std::size_t u : nb.neighbors) {
            if (u != v && !nv.neighbors.contains(u)) {
                right_multiply(s.node(u), kLcZ);
            }
        }
    }

    const std::vector<std::size_t> a_list(nv.neighbors.begin(), nv.neighbors.end());
    const std::vector<std::size_t> b_list(nb.neighbors.begin(), nb.neighbors.end());
    constexpr std::size_t absent = std::numeric_limits<std::size_t>::max();
    // Where each entry of b_list stands in a_list, and which entries of
    // a_list also lie in b_list.
    std::vector<std::size_t> position_in_a(b_list.size(), absent);
    std::vector<std::uint8_t> a_in_b(a_list.size(), 0);
    for (std::size_t k = 0; k < b_list.size(); ++k) {
        for (std::size_t i = 0; i < a_list.size(); ++i) {
            if (a_list[i] == b_list[k]) {
                position_in_a[k] = i;
                a_in_b[i] = 1;
                break;
            }
        }
    }

    // Every pair between the two neighbourhoods is toggled once. A pair whose
    // ends both lie in both lists is met twice, as (a, u) and as (u, a); it
    // is toggled at the first meeting, when the one earlier in a_list is the
    // outer vertex.
    for (std::size_t i = 0; i < a_list.size(); ++i) {
        const std::size_t a = a_list[i];
        for (std::size_t k = 0; k < b_list.size(); ++k) {
            const std::size_t u = b_list[k];
            if (a == u || (a_in_b[i] && position_in_a[k] < i)) {
                continue;
            }
            toggle_edge(s, a < u ? a : u, a < u ? u : a);
        }
    }

    std::vector<std::size_t> common;
    for (std::size_t i = 0; i < a_list.size(); ++i) {
        if (a_in_b[i]) {
            common.push_back(a_list[i]);
        }
    }
    for (std::size_t i = 0; i < common.size(); ++i) {
        for (std::size_t j = i + 1; j < common.size(); ++j) {
            toggle_edge(s, common[i], common[j]);
        }
    }

    for (std::size_t a : a_list) {
        if (a != b) {
            toggle_edge(s, b, a);
        }
    }
    return r;
}

// Removes every edge at v, keeping the order of the other lists.
template <class Store>
void detach(Store& s, std::size_t v, Node& nv) {
    for (std::size_t w : nv.neighbors) {
        s.node(w).neighbors.remove_all(v);
    }
    nv.neighbors.clear();
}

template <class Store, class Rng>
std::uint8_t measure_graph_y(Store& s, std::size_t v, Node& nv, Rng& rng) {
    const std::uint8_t r = draw_bit(rng);
    const LcOp g = r == 0 ? kLcS : kLcSdag;
    const NeighborList& around = nv.neighbors;
    for (std::size_t w : around) {
        right_multiply(s.node(w), g);
    }
    // Toggling pairs of neighbours never touches v's own list, and each
    // neighbour's edge to v can go after all of its pair toggles without
    // changing any list order.
    const std::size_t m = around.size();
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = i + 1; j < m; ++j) {
            toggle_edge(s, around[i], around[j]);
        }
    }
    detach(s, v, nv);
    right_multiply(nv, g);
    return r;
}

template <class Store, class Rng>
std::uint8_t measure_graph_z(Store& s, std::size_t v, Node& nv, Rng& rng) {
    const std::uint8_t r = draw_bit(rng);
    if (r == 1) {
        for (std::size_t w : nv.neighbors) {
            right_multiply(s.node(w), kLcZ);
        }
        right_multiply(nv, kLcX);
    }
    detach(s, v, nv);
    right_multiply(nv, kLcH);
    return r;
}

}  // namespace detail

// Measures qubit v along `axis` and returns the outcome bit (0 for +1).
// The axis is carried through v's vertex operator onto the bare graph,
// which selects one of three graph cases and a sign. At most one word is
// drawn, before anything changes.
template <class Store, class Rng>
std::uint8_t measure(Store& s, std::size_t v, AxisCode axis, Rng& rng) {
    Node& nv = s.node(v);
    const LcOp j = lc_inv[nv.vop];
    const std::uint8_t sign = lc_conj_sign(j, axis);
    switch (lc_conj_axis[axis][j]) {
        case kAxisX:
            return sign ^ detail::measure_graph_x(s, v, nv, rng);
        case kAxisY:
            return sign ^ detail::measure_graph_y(s, v, nv, rng);
        default:
            return sign ^ detail::measure_graph_z(s, v, nv, rng);
    }
}

// A copy of a state that copies a node only when it is first touched. It
// behaves exactly like a full deep copy, but its cost follows the nodes the
// preview reaches, not the number of qubits.
class PeekCopy {
public:
    explicit PeekCopy(const Lumora& base) : base_(base) {}

    std::size_t size() const noexcept { return base_.size(); }

    Node& node(std::size_t q) {
        if (q >= base_.size()) {
            fail_index(base_.size(), q);
        }
        auto it = touched_.find(q);
        if (it == touched_.end()) {
            it = touched_.emplace(q, base_.nodes[q]).first;
        }
        return it->second;
    }

private:
    const Lumora& base_;
    // Node-based, so references stay valid while more nodes are copied in.
    std::unordered_map<std::size_t, Node> touched_;
};

struct PeekRecord {
    std::size_t qubit;
    std::uint8_t result;
    AxisCode axis;
};

// Measures each qubit of `qubits` (distinct indices) on one evolving copy of
// the state, choosing the axis itself: a qubit with neighbours gets a
// uniformly random axis, an isolated one the axis whose outcome is
// determined. The state itself is left unchanged.
template <class Rng>
std::vector<PeekRecord> peek_measure_set(const Lumora& s, const std::vector<std::size_t>& qubits,
                                         Rng& rng) {
    PeekCopy copy(s);
    std::vector<PeekRecord> records;
    records.reserve(qubits.size());
    for (std::size_t q : qubits) {
        Node& nq = copy.node(q);
        AxisCode axis;
        if (nq.neighbors.empty()) {
            axis = lc_axis_onto_x[lc_inv[nq.vop]];
        } else {
            axis = draw_uniform3(rng);
            if (axis > kAxisZ) {
                throw EngineFailure(
                    "internal error: entered unreachable code: rng generates in the range 0..3");
            }
        }
        records.push_back({q, measure(copy, q, axis, rng), axis});
    }
    return records;
}

}  // namespace lumora
