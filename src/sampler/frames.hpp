// The Pauli-frame simulation of one block of shots, and what it needs from
// the circuit: the sampler's own layer below its front door.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "circuit/circuit.hpp"
#include "engine/engine.hpp"
#include "executor/executor.hpp"
#include "sampler/sampler.hpp"

namespace lumora::sampler {

using Word = std::uint64_t;
using Block = std::array<Word, kWordsPerBlock>;

// One Pauli of a product or a feedback, as the frame sees it: signs do not
// matter to a frame.
struct FramePauli {
    std::uint32_t qubit;
    bool x;
    bool z;
};

// What each instruction of a block of the circuit needs at sampling time.
struct FrameStep {
    // Single-qubit Cliffords: the images of X and Z, as (x, z) bit pairs.
    // Two-qubit ones: images of X0, Z0, X1, Z1 as 4-bit (x0, z0, x1, z1).
    std::array<std::uint8_t, 4> images{};
    // Pauli products (MPP, MXX.., SPP, SPP_DAG, E), one list per product.
    std::vector<std::vector<FramePauli>> products;
    // IF blocks: the Paulis their bodies apply.
    std::vector<FramePauli> body;
};

struct FrameBlock {
    const circuit::Circuit* circuit = nullptr;
    std::vector<FrameStep> steps;
    std::vector<FrameBlock> blocks;
};

// Draws for one block of shots: the ChaCha12 stream of the block's key,
// two words (the lower first) to a draw.
class BlockRng {
public:
    explicit BlockRng(const SeededStream::Key& key) noexcept : stream_(key) {}

    std::uint64_t next() noexcept {
        const std::uint64_t low = stream_.next_u32();
        return std::uint64_t{stream_.next_u32()} << 32 | low;
    }

    Block block() noexcept {
        Block out;
        for (Word& w : out) {
            w = next();
        }
        return out;
    }

    // Uniform in (0, 1], from 53 bits.
    double unit() noexcept { return static_cast<double>((next() >> 11) + 1) * 0x1p-53; }

    // An index below `count`, by weights summing to `total` (> 0).
    int weighted(const double* weights, int count, double total) noexcept;

private:
    SeededStream stream_;
};

// The key of block `block` of call `call` under the sampler's key.
SeededStream::Key block_key(const SeededStream::Key& key, std::uint64_t call, std::uint64_t block);

// Everything the sampler keeps from compiling.
struct Prepared {
    Method method = Method::frames;
    std::shared_ptr<const circuit::Circuit> circuit;
    std::shared_ptr<const executor::Program> program;
    SeededStream::Key key{};
    std::uint64_t qubits = 0;
    std::uint64_t measurements = 0;
    std::uint64_t detectors = 0;
    std::uint64_t observables = 0;
    // Measurement records kept per block: a power of two past the longest
    // look-back (detector output), or the whole record.
    std::uint64_t ring = 1;
    // The reference shot's record, a bit per measurement.
    std::vector<Word> reference;
    // Shot by shot: each detector's and observable's noiseless parity, the
    // state after the opening gates, and the program of the rest.
    std::vector<Word> noiseless;
    GraphState opening;
    std::shared_ptr<const executor::Program> rest;
    FrameBlock top;
};

// Simulates one block of 256 shots by frames, leaving each shot's row bit
// (measurement flips against the reference, or detection events and
// observable flips) in rows[bit * kWordsPerBlock + word], which holds
// zeros for every row bit. poll(context, units) is called before each
// instruction, with its size (1 plus its targets), and may throw to stop
// the simulation.
void simulate_frames(const Prepared& p, Output output, BlockRng& rng, std::vector<Word>& rows,
                     void (*poll)(void*, std::size_t), void* context);

}  // namespace lumora::sampler
