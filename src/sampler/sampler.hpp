// Samples many shots of a circuit at once.
//
// Two methods. Circuits whose classical feedback is Pauli (every circuit of
// the stim format) are sampled by Pauli frames: one noiseless reference
// shot on the graph engine, then, for each block of 256 shots, the Pauli
// by which each shot differs from the reference, one bit per shot, pushed
// through the circuit a few word operations per gate. Circuits with IF
// blocks that apply other gates are sampled shot by shot on the graph
// engine, each shot from a copy of the state that the circuit's opening
// gates (those before its first measurement, reset or noise) make.
//
// Randomness is drawn per block of 256 shots: block b of call c (counting
// the sampler's calls from 0) reads the ChaCha12 stream keyed by the first
// 32 bytes of keystream block 4(2^32 c + b) under the sampler's key; shot
// i of a block sampled shot by shot reads the stream keyed likewise by
// block 4i under the block's key. So the same key gives the same shots for
// the same calls, whatever the thread count and the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "circuit/circuit.hpp"
#include "engine/engine.hpp"
#include "executor/executor.hpp"

namespace lumora::sampler {

inline constexpr std::size_t kWordsPerBlock = 4;
inline constexpr std::size_t kShotsPerBlock = 64 * kWordsPerBlock;

enum class Method : std::uint8_t { frames, shot_by_shot };

// What each shot gives: its measurement record, or its detection events
// followed by its observable flips.
enum class Output : std::uint8_t { measurements, detectors };

// Where a run of shots goes: shot s's bits [first, first + count) of its
// row go to row s of `data`, `stride` bytes apart, one byte per bit
// (0 or 1) or packed eight to a byte, lowest bit first.
struct Destination {
    std::uint8_t* data = nullptr;
    std::size_t stride = 0;
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    bool packed = false;
};

struct Prepared;

class Sampler {
public:
    // Compiles `program` (which runs `circuit`) for sampling, and runs its
    // reference shot. Throws circuit::CircuitError for circuits that cannot
    // be sampled, std::bad_alloc, and the engine's Interrupted.
    Sampler(std::shared_ptr<const circuit::Circuit> circuit,
            std::shared_ptr<const executor::Program> program, Output output,
            const SeededStream::Key& key);
    ~Sampler();
    Sampler(const Sampler&) = delete;
    Sampler& operator=(const Sampler&) = delete;

    Method method() const noexcept;
    Output output() const noexcept { return output_; }
    std::uint64_t measurements() const noexcept;
    std::uint64_t detectors() const noexcept;
    std::uint64_t observables() const noexcept;
    // Bits of a shot's row: measurements, or detectors plus observables.
    std::uint64_t row_bits() const noexcept;

    // Shots [first_block * 256, + shots) of call `call` into each of the
    // destinations, on `threads` threads (blocks are shared out, so the
    // bits do not depend on the count). Rows start at the destinations'
    // first rows. Throws std::bad_alloc and the engine's Interrupted (from
    // the thread that called).
    void sample(std::uint64_t call, std::uint64_t first_block, std::uint64_t shots,
                const std::vector<Destination>& to, unsigned threads) const;

private:
    Output output_;
    std::unique_ptr<Prepared> prepared_;
};

}  // namespace lumora::sampler
