// The memory of a group kept as a stabilizer tableau. When a group takes
// this form, and when it leaves it, is decided in tableau_group.hpp.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/qubit.hpp"
#include "engine/tableau.hpp"

namespace lumora {

// The graph form of a tableau block, made when a reader first asks for it
// and dropped at every change: neighbours by qubit, per member.
struct TableauGraph {
    Tableau::GraphForm form;
    std::vector<std::vector<Qubit>> neighbours;  // by local index
};

// A group kept as a tableau: member i's record points here with local
// index i, and the group's state is (vop_0 x ... x vop_{m-1}) |T>. The
// members' records hold no set.
struct TableauBlock {
    Tableau tableau;
    std::vector<Qubit> members;  // local index -> qubit
    std::uint32_t refs = 0;      // records pointing here

    // Readers may share a state: the first to need the graph form makes it.
    mutable std::mutex graph_lock;
    mutable std::shared_ptr<const TableauGraph> graph;

    explicit TableauBlock(Tableau t) : tableau(std::move(t)) {}
    void changed() noexcept { graph.reset(); }
};

// One record lets go of its block, which goes with the last.
void release_member(TableauBlock* block) noexcept;

// A copy with no records pointing at it.
TableauBlock* copy_tableau_block(const TableauBlock& original);

// The block's graph form, made once per change.
std::shared_ptr<const TableauGraph> graph_of(const TableauBlock& block);

}  // namespace lumora
