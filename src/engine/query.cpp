#include "engine/engine.hpp"
#include "engine/flat_index_set.hpp"
#include "engine/tableau_group.hpp"

namespace lumora {

std::vector<Qubit> entangled_group(const GraphState& s, std::size_t q) {
    // Every vertex is appended once, when it is first found, so the queue
    // itself ends up holding the component.
    std::vector<Qubit> queue{s.qubit(q)};
    FlatIndexSet visited;
    visited.insert(queue[0]);
    PollCounter poll;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        for_each_graph_neighbor(s, queue[head], [&](Qubit w) {
            if (visited.insert(w)) {
                queue.push_back(w);
            }
            poll.tick();
        });
        poll.tick();
    }
    return queue;
}

std::uint32_t degree_of(const GraphState& s, std::size_t q) noexcept {
    if (q >= s.size()) {
        return 0;
    }
    const Node& node = s.node(static_cast<Qubit>(q));
    const TableauBlock* block = tableau_of(node);
    return block != nullptr ? static_cast<std::uint32_t>(block->members.size()) : node.degree;
}

LcOp vertex_operator(const GraphState& s, Qubit q) {
    return graph_vop(s, q);
}

}  // namespace lumora
