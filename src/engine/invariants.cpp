#include "engine/invariants.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "engine/neighbor_set.hpp"
#include "engine/tableau_block.hpp"

namespace lumora {

std::string check_invariants(const GraphState& s) {
    const std::size_t n = s.size();
    for (Qubit a = 0; a < n; ++a) {
        const Node& node = s.node(a);
        const std::string at = " at " + std::to_string(a);
        if (node.vop >= kLcCount) {
            return "vertex operator out of range" + at;
        }
        if (node.kind == SetKind::tableau) {
            const TableauBlock& block = *node.tableau.block;
            if (node.degree != 0 || node.tableau.local >= block.members.size() ||
                block.members[node.tableau.local] != a) {
                return "tableau member does not map back" + at;
            }
            // Block-wide facts, checked from the first member.
            if (node.tableau.local == 0 &&
                (block.refs != block.members.size() ||
                 block.tableau.size() != block.members.size() || !block.tableau.valid())) {
                return "tableau block bookkeeping wrong" + at;
            }
            continue;
        }
        std::uint64_t count = 0;
        std::string defect;
        std::vector<Qubit> seen;
        for_each_neighbor(node, [&](Qubit b) {
            ++count;
            seen.push_back(b);
            if (!defect.empty()) {
                return;
            }
            if (b >= n) {
                defect = "neighbour index out of range" + at;
            } else if (b == a) {
                defect = "self-loop" + at;
            } else if (!linked(node, b, s.node(b))) {
                defect = "entry " + std::to_string(b) + " not findable" + at;
            } else if (!linked(s.node(b), a, node)) {
                defect = "edge " + std::to_string(a) + "-" + std::to_string(b) + " is one-sided";
            }
        });
        if (!defect.empty()) {
            return defect;
        }
        std::sort(seen.begin(), seen.end());
        if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) {
            return "duplicate neighbour" + at;
        }
        const std::uint64_t capacity = std::uint64_t{1} << node.log2_capacity;
        switch (node.kind) {
            case SetKind::inline_list:
                if (node.degree > 4) {
                    return "inline set too large" + at;
                }
                break;
            case SetKind::array:
                if (node.degree > capacity) {
                    return "array overfull" + at;
                }
                break;
            case SetKind::hash: {
                std::uint64_t used = 0;
                for (std::uint64_t i = 0; i < capacity; ++i) {
                    used += node.slots[i] != kNoQubit;
                }
                if (used != node.degree || 4 * used > 3 * capacity) {
                    return "hash set count or load wrong" + at;
                }
                break;
            }
            case SetKind::bitmap: {
                std::uint64_t bits = 0;
                const std::size_t words = detail::bitmap_words(n);
                for (std::size_t w = 0; w < words; ++w) {
                    bits += std::popcount(node.words[w]);
                }
                if (bits != node.degree) {
                    return "bitmap count wrong" + at;
                }
                break;
            }
            case SetKind::dense: {
                const DenseBlock& block = *node.dense.block;
                if (node.dense.local >= block.size || block.members[node.dense.local] != a) {
                    return "dense row does not map back" + at;
                }
                if (test_bit(block.row(node.dense.local), node.dense.local)) {
                    return "dense self-loop" + at;
                }
                // Block-wide facts, checked from the first member.
                if (node.dense.local == 0) {
                    std::uint64_t degree_sum = 0;
                    for (Qubit local = 0; local < block.size; ++local) {
                        degree_sum += s.node(block.members[local]).degree;
                    }
                    if (degree_sum != block.degree_sum || block.refs != block.size ||
                        block.capacity % 8 != 0 || block.words != (block.capacity + 63) / 64) {
                        return "dense block bookkeeping wrong" + at;
                    }
                    for (Qubit local = 0; local < block.capacity; ++local) {
                        for (std::uint32_t w = 0; w < block.words; ++w) {
                            const std::uint64_t word = block.row(local)[w];
                            const bool unused_row = local >= block.size;
                            // Bits at or past `size` stand for no member.
                            const std::uint64_t beyond =
                                w * 64 + 64 <= block.size ? 0
                                : w * 64 >= block.size
                                    ? ~std::uint64_t{0}
                                    : ~((std::uint64_t{1} << (block.size - w * 64)) - 1);
                            if ((unused_row && word != 0) || (word & beyond) != 0) {
                                return "dense block has stray bits" + at;
                            }
                        }
                    }
                }
                break;
            }
            default:
                return "unknown set form" + at;
        }
        if (count != node.degree) {
            return "degree does not match the entries" + at;
        }
    }
    return {};
}

}  // namespace lumora
