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
#include "engine/workspace.hpp"

namespace lumora {

class Lumora {
public:
    Lumora() noexcept = default;
    Lumora(Lumora&& other) noexcept
        : n_(std::exchange(other.n_, 0)),
          nodes_(std::exchange(other.nodes_, nullptr)),
          work_(std::move(other.work_)) {}
    Lumora& operator=(Lumora&& other) noexcept {
        Lumora moved(std::move(other));
        std::swap(n_, moved.n_);
        std::swap(nodes_, moved.nodes_);
        std::swap(work_, moved.work_);
        return *this;
    }
    ~Lumora();

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
    Workspace& workspace();

private:
    friend Lumora create(std::size_t qubit_amount);

    // An independent copy of the stored state (dense blocks included), in
    // time proportional to its size. Fails with std::bad_alloc or Interrupted
    // and then leaves nothing behind.
    Lumora copy_state(const Lumora& s);
    friend Lumora copy_state(const Lumora& s);

    std::size_t n_ = 0;
    Node* nodes_ = nullptr;
    std::unique_ptr<Workspace> work_;
};

// n qubits in |0...0>, no edges. Fails with "capacity overflow" for sizes no
// address space can hold, with SizeLimitError above kMaxQubits (32-bit
// qubit indices), and with OutOfMemory when the records cannot be had.
Lumora create(std::size_t qubit_amount);

// The edges {a, b} with a < b, sorted; for tests and diagnostics.
std::vector<std::pair<Qubit, Qubit>> edge_list(const Lumora& s);

// Checks that every record holds a valid set of its form (right degree,
// valid indices, no self-loop, hash sets findable, bitmaps in range), that
// adjacency is symmetric and every vertex operator is valid; returns a
// description of the first defect, or an empty string.
std::string check_invariants(const Lumora& s);

}  // namespace lumora
