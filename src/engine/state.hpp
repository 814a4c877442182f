// The simulator state: one node per qubit holding its ordered neighbour list
// and its vertex operator. The represented state is
// (vop_0 x ... x vop_{n-1}) |G>, |G> the graph state of the edge set.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "clifford/local_clifford.hpp"
#include "engine/failure.hpp"
#include "engine/neighbor_list.hpp"

namespace lumora {

struct Node {
    NeighborList neighbors;
    // A fresh qubit is H|+> = |0>.
    LcOp vop = kLcH;
};

struct Lumora {
    std::vector<Node> nodes;

    std::size_t size() const noexcept { return nodes.size(); }

    // Every index, whether it came from the caller or out of a neighbour
    // list, is checked here before it is used.
    Node& node(std::size_t q) {
        if (q >= nodes.size()) {
            fail_index(nodes.size(), q);
        }
        return nodes[q];
    }
    const Node& node(std::size_t q) const {
        if (q >= nodes.size()) {
            fail_index(nodes.size(), q);
        }
        return nodes[q];
    }
};

// n qubits in |0...0>, no edges. Copying a Lumora is a deep copy in which
// every list keeps its order and holds exactly its entries.
Lumora create(std::size_t qubit_amount);

// The edge primitives work on two nodes with their indices, so that any
// store of nodes (the real state or a preview copy) can use them.
// Presence is decided on the first node's list alone.
inline bool has_edge(const Node& a, std::size_t b) noexcept {
    return a.neighbors.contains(b);
}

// Precondition: a != b and the edge is absent.
void add_edge(Node& na, std::size_t a, Node& nb, std::size_t b);

// Removing an absent edge changes nothing.
void remove_edge(Node& na, std::size_t a, Node& nb, std::size_t b) noexcept;

// Precondition: a != b.
void toggle_edge(Node& na, std::size_t a, Node& nb, std::size_t b);

template <class Store>
bool has_edge(Store& s, std::size_t a, std::size_t b) {
    return has_edge(s.node(a), b);
}
template <class Store>
void add_edge(Store& s, std::size_t a, std::size_t b) {
    Node& na = s.node(a);
    add_edge(na, a, s.node(b), b);
}
template <class Store>
void remove_edge(Store& s, std::size_t a, std::size_t b) {
    Node& na = s.node(a);
    remove_edge(na, a, s.node(b), b);
}
template <class Store>
void toggle_edge(Store& s, std::size_t a, std::size_t b) {
    Node& na = s.node(a);
    toggle_edge(na, a, s.node(b), b);
}

// A gate g acts after what is already on the qubit.
inline void left_multiply(Node& n, LcOp g) noexcept {
    n.vop = lc_mul[g][n.vop];
}
// An operator u absorbed on the graph side acts before the vertex operator.
inline void right_multiply(Node& n, LcOp u) noexcept {
    n.vop = lc_mul[n.vop][u];
}

// Checks that the record is a simple undirected graph over valid indices
// with valid vertex operators; returns a description of the first defect,
// or an empty string. Used by tests after every operation.
std::string check_invariants(const Lumora& s);

}  // namespace lumora
