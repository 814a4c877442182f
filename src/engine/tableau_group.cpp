#include "engine/tableau_group.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <utility>
#include <vector>

#include "engine/bits.hpp"
#include "engine/dense.hpp"

namespace lumora {

void release_member(TableauBlock* block) noexcept {
    if (--block->refs == 0) {
        delete block;
    }
}

TableauBlock* copy_tableau_block(const TableauBlock& original) {
    auto copy = std::make_unique<TableauBlock>(original.tableau);
    copy->members = original.members;
    return copy.release();
}

std::shared_ptr<const TableauGraph> graph_of(const TableauBlock& block) {
    std::lock_guard<std::mutex> hold(block.graph_lock);
    if (!block.graph) {
        auto graph = std::make_shared<TableauGraph>();
        graph->form = block.tableau.graph_form();
        graph->neighbours.resize(block.members.size());
        for (auto [a, b] : graph->form.edges) {
            graph->neighbours[a].push_back(block.members[b]);
            graph->neighbours[b].push_back(block.members[a]);
        }
        block.graph = std::move(graph);
    }
    return block.graph;
}

LcOp graph_vop(const GraphState& s, Qubit q) {
    const Node& node = s.node(q);
    if (node.kind != SetKind::tableau) {
        return node.vop;
    }
    return lc_mul[node.vop][graph_of(*node.tableau.block)->form.frame[node.tableau.local]];
}

std::uint32_t graph_degree(const GraphState& s, Qubit q) {
    const Node& node = s.node(q);
    if (node.kind != SetKind::tableau) {
        return node.degree;
    }
    return static_cast<std::uint32_t>(
        graph_of(*node.tableau.block)->neighbours[node.tableau.local].size());
}

namespace {

// Points member `local`'s record at the block.
void make_member(Node& node, TableauBlock* block, Qubit local) noexcept {
    node.kind = SetKind::tableau;
    node.degree = 0;
    node.log2_capacity = 0;
    node.checked_level = 0;
    node.tableau.block = block;
    node.tableau.local = local;
}

// The tableau of a group whose members are given in ascending order, from
// their sets or rows: its graph, by local index.
Tableau group_tableau(const GraphState& s, const std::vector<Qubit>& members) {
    const std::size_t words = (members.size() + 63) / 64;
    std::vector<std::uint64_t> adjacency(members.size() * words, 0);
    for (std::size_t i = 0; i < members.size(); ++i) {
        for_each_neighbor(s.node(members[i]), [&](Qubit w) {
            const auto it = std::lower_bound(members.begin(), members.end(), w);
            set_bit(adjacency.data() + i * words, static_cast<std::size_t>(it - members.begin()));
        });
    }
    return Tableau(static_cast<std::uint32_t>(members.size()), adjacency.data(), words);
}

// The group of q (sparse sets or a dense block), in ascending order, when
// it has at most `limit` members; a block that holds other groups as well
// goes back to sparse sets first. Empty when the group is larger.
std::vector<Qubit> small_group(GraphState& s, Qubit q, std::size_t limit,
                               std::uint64_t& degree_sum) {
    std::vector<Qubit> members;
    if (!sparse_group(s, q, limit, members, degree_sum)) {
        members.clear();
        return members;
    }
    std::sort(members.begin(), members.end());
    const Node& node = s.node(q);
    if (node.kind == SetKind::dense && node.dense.block->size != members.size()) {
        dissolve(s, node.dense.block);
    }
    return members;
}

// The records of `members`, joined to `block` from local index `first` on,
// give up their sets or their dense block. Cannot fail.
void take_members(GraphState& s, TableauBlock* block, const std::vector<Qubit>& members,
                  Qubit first) noexcept {
    DenseBlock* dense = nullptr;
    for (std::size_t i = 0; i < members.size(); ++i) {
        Node& node = s.node(members[i]);
        if (node.kind == SetKind::dense) {
            dense = node.dense.block;
        } else if (node.kind != SetKind::tableau) {
            release(node);
        }
        make_member(node, block, first + static_cast<Qubit>(i));
    }
    if (dense != nullptr) {
        free_block(dense);
    }
    block->refs += static_cast<std::uint32_t>(members.size());
    block->changed();
}

// A tableau block on its way back to graph form: the dense block and
// vertex operators it will leave, made before anything changes.
struct Leaving {
    TableauBlock* block;
    DenseBlock* dense;
    std::vector<LcOp> vops;
};

Leaving prepare_leaving(const GraphState& s, TableauBlock* block) {
    const auto graph = graph_of(*block);
    const std::uint32_t m = static_cast<std::uint32_t>(block->members.size());
    Leaving out{block, new_block((m + 7) / 8 * 8), {}};
    try {
        out.vops.resize(m);
    } catch (...) {
        free_block(out.dense);
        throw;
    }
    DenseBlock& dense = *out.dense;
    dense.size = m;
    for (Qubit local = 0; local < m; ++local) {
        dense.members[local] = block->members[local];
        out.vops[local] = lc_mul[s.node(block->members[local]).vop][graph->form.frame[local]];
    }
    for (auto [a, b] : graph->form.edges) {
        set_bit(dense.row(a), b);
        set_bit(dense.row(b), a);
    }
    dense.degree_sum = 2 * graph->form.edges.size();
    return out;
}

void finish_leaving(GraphState& s, Leaving& leaving) noexcept {
    DenseBlock& dense = *leaving.dense;
    for (Qubit local = 0; local < dense.size; ++local) {
        Node& node = s.node(dense.members[local]);
        node.kind = SetKind::dense;
        node.dense.block = &dense;
        node.dense.local = local;
        node.vop = leaving.vops[local];
        std::uint32_t degree = 0;
        for (std::uint32_t w = 0; w < dense.words; ++w) {
            degree += static_cast<std::uint32_t>(std::popcount(dense.row(local)[w]));
        }
        node.degree = degree;
    }
    dense.refs = dense.size;
    delete leaving.block;
    // The group may be thin, or many groups: sparse sets, where it pays.
    reshape(s, dense.members[0]);
}

}  // namespace

bool enter_tableau(GraphState& s, Qubit a, Qubit b, std::uint32_t degree) {
    const std::size_t limit = std::min<std::size_t>(
        store_limits.dense_max, store_limits.tableau_reach * std::size_t{degree});
    std::uint64_t degree_sum = 0;
    std::vector<Qubit> members = small_group(s, a, limit, degree_sum);
    if (members.empty() || !std::binary_search(members.begin(), members.end(), b) ||
        !dense_by(degree_sum, members.size(), store_limits.tableau_enter)) {
        return false;
    }
    auto block = std::make_unique<TableauBlock>(group_tableau(s, members));
    block->members = members;
    // Nothing below can fail.
    take_members(s, block.get(), members, 0);
    block.release();
    return true;
}

void leave_tableaux(GraphState& s, const Qubit* qubits, std::size_t count) {
    std::vector<Leaving> leaving;
    try {
        for (std::size_t i = 0; i < count; ++i) {
            TableauBlock* block = tableau_of(s.node(qubits[i]));
            if (block != nullptr &&
                std::none_of(leaving.begin(), leaving.end(),
                             [&](const Leaving& l) { return l.block == block; })) {
                leaving.reserve(leaving.size() + 1);
                leaving.push_back(prepare_leaving(s, block));
            }
        }
    } catch (...) {
        for (Leaving& l : leaving) {
            free_block(l.dense);
        }
        throw;
    }
    for (Leaving& l : leaving) {
        finish_leaving(s, l);
    }
}

TableauBlock* unite_in_tableau(GraphState& s, Qubit a, Qubit b) {
    TableauBlock* block = tableau_of(s.node(a));
    Qubit outside = b;
    if (block == nullptr) {
        block = tableau_of(s.node(b));
        outside = a;
    }
    TableauBlock* other_block = tableau_of(s.node(outside));
    if (other_block == block) {
        return block;
    }
    const std::size_t room = store_limits.dense_max > block->members.size()
                                 ? store_limits.dense_max - block->members.size()
                                 : 0;
    // The other group, and its tableau.
    std::vector<Qubit> members;
    std::unique_ptr<Tableau> other;
    if (other_block != nullptr) {
        if (other_block->members.size() <= room) {
            members = other_block->members;
        }
    } else if (room != 0) {
        std::uint64_t degree_sum = 0;
        members = small_group(s, outside, room, degree_sum);
        if (!members.empty()) {
            other = std::make_unique<Tableau>(group_tableau(s, members));
        }
    }
    if (members.empty()) {
        const Qubit both[2] = {a, b};
        leave_tableaux(s, both, 2);
        return nullptr;
    }
    block->members.reserve(block->members.size() + members.size());
    block->tableau.append(other_block != nullptr ? other_block->tableau : *other);
    // Nothing below can fail.
    const Qubit first = static_cast<Qubit>(block->members.size());
    block->members.insert(block->members.end(), members.begin(), members.end());
    take_members(s, block, members, first);
    delete other_block;
    return block;
}

void detach_measured(GraphState& s, Qubit q, AxisCode graph_axis, std::uint8_t r) noexcept {
    Node& node = s.node(q);
    TableauBlock* block = node.tableau.block;
    const Qubit local = node.tableau.local;
    block->tableau.collapse(local, graph_axis, r);
    block->tableau.remove_factor(local);
    block->changed();
    // The last member took q's index.
    const Qubit last = block->members.back();
    block->members[local] = last;
    block->members.pop_back();
    if (last != q) {
        s.node(last).tableau.local = local;
    }
    const LcOp vop = lc_mul[node.vop][eigenstate_preparation(graph_axis, r)];
    release_member(block);
    node = fresh_node();
    node.vop = vop;
}

}  // namespace lumora
