#include "engine/state.hpp"

#include <cstdint>
#include <string>

namespace lumora {

void fail_index(std::size_t len, std::size_t index) {
    throw EngineFailure("index out of bounds: the len is " + std::to_string(len) +
                        " but the index is " + std::to_string(index));
}

Lumora create(std::size_t qubit_amount) {
    // The node array must stay within the largest object the platform can
    // address; beyond it the size computation itself would overflow.
    if (qubit_amount > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(Node)) {
        throw EngineFailure("capacity overflow");
    }
    Lumora s;
    s.nodes = std::vector<Node>(qubit_amount);
    return s;
}

void add_edge(Node& na, std::size_t a, Node& nb, std::size_t b) {
    // Both lists get room first, so running out of memory cannot leave a
    // half-stored edge behind.
    na.neighbors.reserve_one();
    nb.neighbors.reserve_one();
    na.neighbors.append_reserved(b);
    nb.neighbors.append_reserved(a);
}

void remove_edge(Node& na, std::size_t a, Node& nb, std::size_t b) noexcept {
    na.neighbors.remove_all(b);
    nb.neighbors.remove_all(a);
}

void toggle_edge(Node& na, std::size_t a, Node& nb, std::size_t b) {
    const std::size_t removed = na.neighbors.remove_all(b);
    nb.neighbors.remove_all(a);
    if (removed == 0) {
        add_edge(na, a, nb, b);
    }
}

std::string check_invariants(const Lumora& s) {
    const std::size_t n = s.size();
    for (std::size_t a = 0; a < n; ++a) {
        const Node& node = s.nodes[a];
        if (node.vop >= kLcCount) {
            return "vertex operator out of range at " + std::to_string(a);
        }
        const NeighborList& list = node.neighbors;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::size_t b = list[i];
            if (b >= n) {
                return "neighbour index out of range at " + std::to_string(a);
            }
            if (b == a) {
                return "self-loop at " + std::to_string(a);
            }
            for (std::size_t j = i + 1; j < list.size(); ++j) {
                if (list[j] == b) {
                    return "duplicate neighbour " + std::to_string(b) + " at " + std::to_string(a);
                }
            }
            if (!s.nodes[b].neighbors.contains(a)) {
                return "edge " + std::to_string(a) + "-" + std::to_string(b) + " is one-sided";
            }
        }
    }
    return {};
}

}  // namespace lumora
