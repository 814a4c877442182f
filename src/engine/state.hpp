// The simulator state: one 24-byte record per qubit holding its vertex
// operator and its set of neighbours. The represented state is
// (vop_0 x ... x vop_{n-1}) |G>, |G> the graph state of the edge set.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "clifford/local_clifford.hpp"
#include "engine/failure.hpp"
#include "engine/neighbor_set.hpp"

namespace lumora {

class Workspace;

class GraphState {
public:
    GraphState() noexcept;
    GraphState(GraphState&& other) noexcept;
    GraphState& operator=(GraphState&& other) noexcept;
    ~GraphState();

    std::size_t size() const noexcept { return n_; }

    // Every index a caller gives is checked here before it is used.
    Qubit qubit(std::size_t q) const {
        if (q >= n_) {
            fail_index(n_, q);
        }
        return static_cast<Qubit>(q);
    }

    const Node& node(Qubit q) const noexcept { return nodes_[q]; }
    Node& node(Qubit q) noexcept { return nodes_[q]; }

    // The scratch memory of mutating operations, made at first use.
    Workspace& workspace() { return work_ ? *work_ : make_workspace(); }

private:
    friend GraphState create(std::size_t qubit_amount);

    Workspace& make_workspace();

    // An independent copy of the stored state (dense blocks included), in
    // time proportional to its size. Fails with std::bad_alloc or Interrupted
    // and then leaves nothing behind.
    GraphState copy_state(const GraphState& s);
    friend GraphState copy_state(const GraphState& s);

    std::size_t n_ = 0;
    Node* nodes_ = nullptr;
    std::unique_ptr<Workspace> work_;
};

// n qubits in |0...0>, no edges. Fails with "capacity overflow" for sizes no
// address space can hold, with SizeLimitError above kMaxQubits (32-bit
// qubit indices), and with OutOfMemory when the records cannot be had.
GraphState create(std::size_t qubit_amount);

// The edges {a, b} with a < b, sorted; for tests and diagnostics.
std::vector<std::pair<Qubit, Qubit>> edge_list(const GraphState& s);

}  // namespace lumora
