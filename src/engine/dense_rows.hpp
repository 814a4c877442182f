// Word-by-word primitives on the rows of dense blocks, shared by the
// editor's rewrites and by undoing them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/dense_block.hpp"
#include "engine/failure.hpp"
#include "engine/neighbor_set.hpp"

namespace lumora {

// y into the dense row of x or out of it. A dense row holds members of
// its own block only; two-qubit gates bring their operands into one
// block first. Out of line, so that the sparse paths around it stay
// small enough to inline.
[[gnu::noinline]] inline void flip_dense(Node& nx, const Node& ny) {
    // Overlays keep private copies of blocks, so blocks are compared by
    // what they hold.
    if (nx.kind != SetKind::dense || ny.kind != SetKind::dense ||
        ny.dense.local >= nx.dense.block->size ||
        nx.dense.block->members[ny.dense.local] != ny.dense.block->members[ny.dense.local]) {
        unreachable("an edge would leave a dense block");
    }
    DenseBlock& block = *nx.dense.block;
    std::uint64_t* row = block.row(nx.dense.local);
    const bool present = test_bit(row, ny.dense.local);
    flip_bit(row, ny.dense.local);
    if (present) {
        --nx.degree;
        --block.degree_sum;
    } else {
        ++nx.degree;
        ++block.degree_sum;
    }
}

// x's dense row ^= pattern, keeping x out of its own row; the degree
// follows.
inline void xor_pattern(Node& nx, const std::uint64_t* pattern, bool self) noexcept {
    DenseBlock& block = *nx.dense.block;
    std::uint64_t* row = block.row(nx.dense.local);
    std::uint32_t degree = xor_and_count(row, pattern, block.words);
    if (self) {
        // The pattern held x itself, which has just been put in its row.
        flip_bit(row, nx.dense.local);
        --degree;
    }
    block.degree_sum += degree;
    block.degree_sum -= nx.degree;
    nx.degree = degree;
}

// Flips c's bit in the row of every member the pattern names; their
// degrees follow. Its own inverse.
template <class Records>
void flip_column_of(Records& nodes, const Node& nc, const std::uint64_t* pattern) noexcept {
    DenseBlock& block = *nc.dense.block;
    const Qubit local = nc.dense.local;
    const unsigned shift = local & 63;
    std::uint64_t* column = block.rows + (local >> 6);
    std::uint64_t degree_sum = block.degree_sum;
    for (std::uint32_t w = 0; w < block.words; ++w) {
        for (std::uint64_t bits = pattern[w]; bits != 0; bits &= bits - 1) {
            const Qubit member = w * 64 + static_cast<Qubit>(std::countr_zero(bits));
            std::uint64_t& word = column[std::size_t{member} * block.words];
            // +1 when the bit was clear, -1 when it was set.
            const std::uint32_t step = 1 - 2 * static_cast<std::uint32_t>((word >> shift) & 1);
            word ^= std::uint64_t{1} << shift;
            nodes.mut(block.members[member]).degree += step;
            degree_sum += static_cast<std::int32_t>(step);
        }
    }
    block.degree_sum = degree_sum;
}

}  // namespace lumora
