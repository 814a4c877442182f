#include "engine/query.hpp"

#include "engine/flat_index_set.hpp"

namespace lumora {

std::vector<std::size_t> entangled_group(const Lumora& s, std::size_t q) {
    // Every vertex is appended once, when it is first found, so the queue
    // itself ends up holding the component.
    std::vector<std::size_t> queue;
    FlatIndexSet visited;
    queue.push_back(q);
    visited.insert(q);
    for (std::size_t head = 0; head < queue.size(); ++head) {
        for (std::size_t w : s.node(queue[head]).neighbors) {
            if (visited.insert(w)) {
                queue.push_back(w);
            }
        }
    }
    return queue;
}

}  // namespace lumora
