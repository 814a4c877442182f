// The engine's front door: all that the layers above it (the Python module,
// and whatever runs circuits or samples shots) may use. The engine's other
// headers are its own.
//
// A state is a GraphState: n qubits as a graph state with a local Clifford
// on each vertex. Every operation checks the qubit indices it is given and
// fails with the engine's exceptions (failure.hpp); one that fails part-way
// leaves the state exactly as it was. Random outcomes come from the
// source the caller passes: the calling thread's generator, or a seeded
// stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "clifford/local_clifford.hpp"
#include "engine/failure.hpp"
#include "engine/flat_index_set.hpp"
#include "engine/qubit.hpp"
#include "engine/rng.hpp"
#include "engine/state.hpp"

namespace lumora {

// --- Gates

// Applies gate g after the qubit's current operator; the index is checked
// before anything changes.
inline void apply_gate(GraphState& s, std::size_t q, LcOp g) {
    Node& node = s.node(s.qubit(q));
    node.vop = lc_mul[g][node.vop];
}

enum class TwoQubitGate : std::uint8_t { cz, cx, cy, xcx, xcy, xcz, ycx, ycy, ycz };

// Applies the controlled gate. control == target raises SameQubitError;
// both indices are checked before the first change, in the order in which
// the gate first uses them, and a failure part-way (out of memory, an
// interrupt) leaves the state unchanged.
void apply_two_qubit_gate(GraphState& s, TwoQubitGate gate, std::size_t control,
                          std::size_t target);

inline void cz(GraphState& s, std::size_t a, std::size_t b) {
    apply_two_qubit_gate(s, TwoQubitGate::cz, a, b);
}

// --- Measurements

// Measures qubit q along `axis` and returns the outcome bit (0 for +1). A
// random outcome draws one word, before anything changes; a determined one
// draws none.
std::uint8_t measure(GraphState& s, std::size_t q, AxisCode axis, ThreadRng& rng);
std::uint8_t measure(GraphState& s, std::size_t q, AxisCode axis, SeededStream& rng);

struct PeekRecord {
    std::size_t qubit;
    std::uint8_t result;
    AxisCode axis;
};

// Measures each of `qubits` (distinct indices, all checked first) on one
// evolving copy-on-write view of the state, choosing the axis itself: a
// qubit with neighbours gets a uniformly random axis, an isolated one the
// axis whose outcome is determined. The state itself is never changed.
std::vector<PeekRecord> peek_measure_set(const GraphState& s,
                                         const std::vector<std::size_t>& qubits, ThreadRng& rng);
std::vector<PeekRecord> peek_measure_set(const GraphState& s,
                                         const std::vector<std::size_t>& qubits, SeededStream& rng);

// --- Several operations as one

class Transaction;

// Gates and measurements on a few qubits that succeed or fail together: a
// failure in any of them (out of memory, an interrupt) undoes all that the
// batch did, and so does a batch left without commit(). The qubits it may
// touch are named up front (distinct, each checked); their groups are
// first brought into one storage form, so that nothing between the
// operations needs converting.
class Batch {
public:
    Batch(GraphState& s, const std::size_t* qubits, std::size_t count);
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch();

    void gate(Qubit q, LcOp g);
    void two_qubit_gate(TwoQubitGate gate, Qubit control, Qubit target);
    std::uint8_t measure(Qubit q, AxisCode axis, ThreadRng& rng);
    std::uint8_t measure(Qubit q, AxisCode axis, SeededStream& rng);
    // Keeps what the batch did.
    void commit() noexcept;

private:
    Transaction* txn_;
};

// --- Groups and views

// The vertices of the component of q, q included, in breadth-first order.
// The cost follows the size of the component, not the number of qubits.
std::vector<Qubit> entangled_group(const GraphState& s, std::size_t q);

// Stabilizer generators of the qubits `selected` (ascending, no repeats,
// each checked against the register; every qubit when `all`), as a sign
// and one letter of IXYZ per selected qubit. They are the reduced row
// echelon form with the columns X and Z of the first selected qubit, then
// X and Z of the next, and so on: each pivot column holds one 1, pivots
// ascend, so equal states give equal lists. Computed group by group, in
// time k^3/64 for a group of k qubits. Throws NotAUnionOfGroups when a
// selected qubit's group is not wholly selected.
std::vector<std::string> canonical_stabilizers(const GraphState& s, bool all,
                                               const std::vector<std::size_t>& selected);

// The shortest word over H, S, X, Y, Z (applied left to right, the first
// letter first) equal to each local Clifford up to phase; "" for identity.
const std::string& clifford_word(LcOp op);

// About how many qubits an operation on q touches: its number of
// neighbours, or the size of its group where that is kept as a tableau; 0
// for an index outside the register.
std::uint32_t degree_of(const GraphState& s, std::size_t q) noexcept;

// The local Clifford on qubit q (which must be valid) in the graph form
// that edge_list() shows.
LcOp vertex_operator(const GraphState& s, Qubit q);

// The edges {a, b} with a < b, sorted.
std::vector<std::pair<Qubit, Qubit>> edge_list(const GraphState& s);

// --- The encoding that pickles carry: versioned, compact (a 1D cluster
// takes 3 bytes per qubit) and checked; decoding refuses anything that is
// not exactly what encoding produces.

struct Decoded {
    GraphState state;
    std::optional<SeededStream::Position> stream;
};

// Appends the encoding of `s` (and of `stream`, when given) to `out`.
void encode_state(const GraphState& s, const SeededStream::Position* stream, std::string& out);

// The state the bytes describe. Throws InvalidData for anything else,
// std::bad_alloc, or Interrupted for very large states.
Decoded decode_state(std::string_view bytes);

}  // namespace lumora
