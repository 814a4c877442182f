// The views of a state's records that the editor works on: the state itself,
// journaled or not, and a preview's copy-on-write overlay.
#pragma once

#include <cstddef>
#include <memory>
#include <unordered_map>

#include "engine/dense_block.hpp"
#include "engine/neighbor_set.hpp"
#include "engine/state.hpp"
#include "engine/tableau_block.hpp"

namespace lumora {

// The state's own records; changes go into the workspace's journal.
class DirectNodes {
public:
    static constexpr bool kJournaled = true;
    static constexpr bool kPolls = true;

    explicit DirectNodes(GraphState& s) noexcept : s_(s) {}
    std::size_t size() const noexcept { return s_.size(); }
    const Node& get(Qubit q) const noexcept { return s_.node(q); }
    Node& mut(Qubit q) noexcept { return s_.node(q); }

private:
    GraphState& s_;
};

// The state's own records, unjournaled and never interrupted: for short
// operations that cannot fail once they have started changing the state.
class QuickNodes : public DirectNodes {
public:
    static constexpr bool kJournaled = false;
    static constexpr bool kPolls = false;
    using DirectNodes::DirectNodes;
};

// A view that copies a record the first time it is changed, leaving the
// state untouched: a preview costs what it touches, not what the state holds.
class OverlayNodes {
public:
    static constexpr bool kJournaled = false;
    static constexpr bool kPolls = true;

    explicit OverlayNodes(const GraphState& base) noexcept : base_(base) {}
    OverlayNodes(const OverlayNodes&) = delete;
    OverlayNodes& operator=(const OverlayNodes&) = delete;
    ~OverlayNodes() {
        for (auto& [q, node] : copies_) {
            if (node.kind != SetKind::dense && node.kind != SetKind::tableau) {
                release(node);
            }
        }
        for (auto& [original, copy] : blocks_) {
            free_block(copy);
        }
        for (auto& [original, copy] : tableaux_) {
            delete copy;
        }
    }

    std::size_t size() const noexcept { return base_.size(); }
    const Node& get(Qubit q) const {
        const auto it = copies_.find(q);
        return it == copies_.end() ? base_.node(q) : it->second;
    }
    Node& mut(Qubit q) {
        auto it = copies_.find(q);
        if (it == copies_.end()) {
            const Node& original = base_.node(q);
            if (original.kind == SetKind::dense) {
                // Rows change in a private copy of the whole block, which
                // keeps the local indices.
                Node copy = original;
                copy.dense.block = block_copy(original.dense.block);
                it = copies_.emplace(q, copy).first;
            } else if (original.kind == SetKind::tableau) {
                Node copy = original;
                copy.tableau.block = tableau_copy(original.tableau.block);
                it = copies_.emplace(q, copy).first;
            } else {
                Node copy = clone(original, base_.size());
                try {
                    it = copies_.emplace(q, copy).first;
                } catch (...) {
                    release(copy);
                    throw;
                }
            }
        }
        return it->second;
    }

    // The tableau a member's record names, as this view has it: a member
    // whose own record was never copied may belong to a copied block.
    TableauBlock* tableau(const Node& node) const {
        const auto it = tableaux_.find(node.tableau.block);
        return it != tableaux_.end() ? it->second : node.tableau.block;
    }

private:
    TableauBlock* tableau_copy(TableauBlock* original) {
        if (const auto it = tableaux_.find(original); it != tableaux_.end()) {
            return it->second;
        }
        std::unique_ptr<TableauBlock> copy(copy_tableau_block(*original));
        tableaux_.emplace(original, copy.get());
        return copy.release();
    }

    DenseBlock* block_copy(const DenseBlock* original) {
        auto it = blocks_.find(original);
        if (it != blocks_.end()) {
            return it->second;
        }
        DenseBlock* copy = copy_block(*original);
        try {
            blocks_.emplace(original, copy);
        } catch (...) {
            free_block(copy);
            throw;
        }
        return copy;
    }

    const GraphState& base_;
    // Node-based, so references stay valid while more records are copied in.
    std::unordered_map<Qubit, Node> copies_;
    std::unordered_map<const DenseBlock*, DenseBlock*> blocks_;
    std::unordered_map<const TableauBlock*, TableauBlock*> tableaux_;
};

}  // namespace lumora
