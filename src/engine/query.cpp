#include "engine/engine.hpp"
#include "engine/flat_index_set.hpp"

namespace lumora {

std::vector<Qubit> entangled_group(const GraphState& s, std::size_t q) {
    // Every vertex is appended once, when it is first found, so the queue
    // itself ends up holding the component.
    std::vector<Qubit> queue{s.qubit(q)};
    FlatIndexSet visited;
    visited.insert(queue[0]);
    PollCounter poll;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        for_each_neighbor(s.node(queue[head]), [&](Qubit w) {
            if (visited.insert(w)) {
                queue.push_back(w);
            }
            poll.tick();
        });
        poll.tick();
    }
    return queue;
}

}  // namespace lumora
