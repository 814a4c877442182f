// Runs a whole circuit on a graph state, in C++: one call for a circuit of
// any length, REPEAT blocks looped without unrolling, noise drawn from the
// simulator's random source, classical feedback and IF blocks read from the
// record of this run.
//
// A circuit runs as a sequence of operations: one per target (or pair, or
// Pauli product) of each instruction, and one per annotation. Each
// operation is atomic. A run stopped by an interrupt or a failed
// allocation stops between operations: the state is exactly as after the
// last completed one, and the seeded stream stands where it did then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "circuit/circuit.hpp"
#include "engine/engine.hpp"

namespace lumora::executor {

struct Program;

// A circuit checked and prepared for running: qubit indices, look-backs
// into the record (each rec[-k] must name a measurement of the same run),
// Pauli products. The program keeps the circuit, which must not change
// after. Throws circuit::CircuitError for a circuit that cannot run, with a
// message that says where.
std::shared_ptr<const Program> compile(std::shared_ptr<const circuit::Circuit> c);

// How many qubits the program needs, and how many record entries a run
// writes.
std::uint64_t qubits_needed(const Program& p) noexcept;
std::uint64_t record_length(const Program& p) noexcept;

// A run that stopped part-way. `completed` operations ran; the cause (the
// engine's Interrupted, or std::bad_alloc) is rethrown by whoever reports.
class Stopped : public std::exception {
public:
    Stopped(std::uint64_t completed, std::exception_ptr cause) noexcept
        : completed_(completed), cause_(std::move(cause)) {}
    const char* what() const noexcept override { return "the circuit stopped part-way"; }
    std::uint64_t completed() const noexcept { return completed_; }
    const std::exception_ptr& cause() const noexcept { return cause_; }

private:
    std::uint64_t completed_;
    std::exception_ptr cause_;
};

// Runs the program on `s` (which must have at least qubits_needed qubits),
// writing each measurement record entry (0 or 1) into `record`, which has
// room for record_length entries. Throws Stopped on an interrupt or a failed
// allocation.
void run(const Program& p, GraphState& s, ThreadRng& rng, std::uint8_t* record);
void run(const Program& p, GraphState& s, SeededStream& rng, std::uint8_t* record);

// The same without noise: channels do nothing, heralds read 0 and no
// measurement is flipped. The sampler's reference shot.
void run_noiseless(const Program& p, GraphState& s, SeededStream& rng, std::uint8_t* record);

}  // namespace lumora::executor
