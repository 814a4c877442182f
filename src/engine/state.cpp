#include "engine/state.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

#include "engine/tableau_group.hpp"
#include "engine/workspace.hpp"

namespace lumora {

namespace {

// Records are written in slices of this many, with an interrupt check
// between slices, so that building a huge register can be stopped.
constexpr std::size_t kFillSlice = std::size_t{1} << 20;

// The largest register for which an allocation is attempted at all: beyond
// it the request cannot fit half of any address space, and it fails as
// "capacity overflow" before anything is allocated.
constexpr std::size_t kCapacityLimit = static_cast<std::size_t>(PTRDIFF_MAX) / 32;

}  // namespace

GraphState create(std::size_t qubit_amount) {
    if (qubit_amount > kCapacityLimit) {
        throw EngineFailure("capacity overflow");
    }
    if (qubit_amount > kMaxQubits) {
        throw SizeLimitError("qubit_amount " + std::to_string(qubit_amount) +
                             " is more than a simulator can hold (at most " +
                             std::to_string(kMaxQubits) + " qubits)");
    }
    GraphState s;
    if (qubit_amount == 0) {
        return s;
    }
    try {
        s.nodes_ = static_cast<Node*>(::operator new(qubit_amount * sizeof(Node)));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("cannot allocate " + std::to_string(qubit_amount * sizeof(Node)) +
                          " bytes for the records of " + std::to_string(qubit_amount) + " qubits");
    }
    s.n_ = 0;  // the destructor releases only records already written
    const Node fresh = fresh_node();
    PollCounter poll;
    while (s.n_ < qubit_amount) {
        const std::size_t end = std::min(qubit_amount, s.n_ + kFillSlice);
        std::fill(s.nodes_ + s.n_, s.nodes_ + end, fresh);
        const std::size_t filled = end - s.n_;
        s.n_ = end;
        poll.tick(filled);
    }
    return s;
}

GraphState copy_state(const GraphState& s) {
    GraphState copy;
    if (s.n_ == 0) {
        return copy;
    }
    copy.nodes_ = static_cast<Node*>(::operator new(s.n_ * sizeof(Node)));
    copy.n_ = 0;  // the destructor releases only records already written
    // Each block is copied once, when its first member is met; members of
    // a block are usually close together, so the last one is remembered.
    std::unordered_map<const DenseBlock*, DenseBlock*> blocks;
    std::unordered_map<const TableauBlock*, TableauBlock*> tableaux;
    const DenseBlock* last_original = nullptr;
    PollCounter poll;
    DenseBlock* last_copy = nullptr;
    // Records are copied a slice at a time as bytes, then those holding
    // storage get copies of it. Until a record is fixed it must not be
    // released (its pointer is the original's), so a failure resets the
    // unfixed rest of the slice before the copy is destroyed.
    while (copy.n_ < s.n_) {
        const std::size_t start = copy.n_;
        const std::size_t end = std::min(s.n_, start + kFillSlice);
        std::memcpy(static_cast<void*>(copy.nodes_ + start), s.nodes_ + start,
                    (end - start) * sizeof(Node));
        copy.n_ = end;
        std::size_t q = start;
        try {
            for (; q < end; ++q) {
                Node& node = copy.nodes_[q];
                if (node.kind == SetKind::inline_list) {
                    continue;
                }
                if (node.kind == SetKind::tableau) {
                    auto found = tableaux.find(node.tableau.block);
                    if (found == tableaux.end()) {
                        std::unique_ptr<TableauBlock> fresh(
                            copy_tableau_block(*node.tableau.block));
                        found = tableaux.emplace(node.tableau.block, fresh.get()).first;
                        fresh.release();
                    }
                    node.tableau.block = found->second;
                    ++found->second->refs;
                    continue;
                }
                if (node.kind != SetKind::dense) {
                    node = clone(s.nodes_[q], s.n_);
                    continue;
                }
                const DenseBlock* original = node.dense.block;
                if (original != last_original) {
                    auto found = blocks.find(original);
                    if (found == blocks.end()) {
                        DenseBlock* fresh = copy_block(*original);
                        fresh->refs = 0;
                        try {
                            found = blocks.emplace(original, fresh).first;
                        } catch (...) {
                            free_block(fresh);
                            throw;
                        }
                    }
                    last_original = found->first;
                    last_copy = found->second;
                }
                node.dense.block = last_copy;
                ++last_copy->refs;
            }
        } catch (...) {
            const Node empty = fresh_node();
            std::fill(copy.nodes_ + q, copy.nodes_ + end, empty);
            throw;
        }
        poll.tick(end - start);
    }
    return copy;
}

GraphState::GraphState() noexcept = default;

GraphState::GraphState(GraphState&& other) noexcept
    : n_(std::exchange(other.n_, 0)),
      nodes_(std::exchange(other.nodes_, nullptr)),
      work_(std::move(other.work_)) {
}

GraphState& GraphState::operator=(GraphState&& other) noexcept {
    GraphState moved(std::move(other));
    std::swap(n_, moved.n_);
    std::swap(nodes_, moved.nodes_);
    std::swap(work_, moved.work_);
    return *this;
}

GraphState::~GraphState() {
    for (std::size_t q = 0; q < n_; ++q) {
        release(nodes_[q]);
    }
    ::operator delete(nodes_);
}

Workspace& GraphState::make_workspace() {
    work_ = std::make_unique<Workspace>(n_);
    return *work_;
}

std::vector<std::pair<Qubit, Qubit>> edge_list(const GraphState& s) {
    // Vertex by vertex, each one's higher neighbours sorted: sorted overall.
    std::vector<std::pair<Qubit, Qubit>> edges;
    std::vector<Qubit> above;
    PollCounter poll;
    for (Qubit a = 0; a < s.size(); ++a) {
        above.clear();
        for_each_graph_neighbor(s, a, [&](Qubit b) {
            if (a < b) {
                above.push_back(b);
            }
        });
        sort_polled(above);
        for (Qubit b : above) {
            edges.emplace_back(a, b);
        }
        poll.tick(1 + s.node(a).degree);
    }
    return edges;
}

}  // namespace lumora
