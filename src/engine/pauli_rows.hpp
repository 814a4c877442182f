// Pauli strings as bit rows, x bits then z bits, with a sign each: the
// row form of a stabilizer group, for eliminations.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "clifford/local_clifford.hpp"

namespace lumora {

struct PauliRows {
    std::size_t words = 0;  // per half: x bits, then z bits
    std::vector<std::uint64_t> bits;
    std::vector<std::uint8_t> minus;

    PauliRows() = default;
    PauliRows(std::size_t rows, std::size_t width)
        : words((width + 63) / 64), bits(2 * words * rows, 0), minus(rows, 0) {}

    std::uint64_t* row(std::size_t r) { return bits.data() + 2 * words * r; }
    const std::uint64_t* row(std::size_t r) const { return bits.data() + 2 * words * r; }
};

// r <- p.r for commuting Paulis p and r, phase included: the letters meet
// qubit by qubit, XY = iZ, YZ = iX, ZX = iY and the reverses give -i; the
// total is +-1 because they commute.
inline void multiply_into(PauliRows& rows, std::size_t r, std::size_t p) {
    std::uint64_t* target = rows.row(r);
    const std::uint64_t* source = rows.row(p);
    const std::size_t words = rows.words;
    int plus = 0;
    int minus = 0;
    for (std::size_t w = 0; w < words; ++w) {
        const std::uint64_t x1 = source[w], z1 = source[words + w];
        const std::uint64_t x2 = target[w], z2 = target[words + w];
        const std::uint64_t px = x1 & ~z1, py = x1 & z1, pz = ~x1 & z1;
        plus += std::popcount((px & x2 & z2) | (py & ~x2 & z2) | (pz & x2 & ~z2));
        minus += std::popcount((px & ~x2 & z2) | (py & x2 & ~z2) | (pz & x2 & z2));
        target[w] = x2 ^ x1;
        target[words + w] = z2 ^ z1;
    }
    const bool flips = ((plus - minus) & 3) == 2;
    rows.minus[r] ^= static_cast<std::uint8_t>(rows.minus[p] ^ (flips ? 1 : 0));
}

// One Gauss-Jordan step on bit j of one half of the rows (offset 0: x
// bits, rows.words: z bits): a row of [next, count) that has it moves to
// `next`, and every other row of [first, count) that has it is multiplied
// by that one. Returns false when no row has it. `mirror.swap(a, b)` and
// `mirror.multiply(r, p)` see each step, for callers that track them.
template <class Mirror>
bool pivot_step(PauliRows& rows, std::size_t first, std::size_t next, std::size_t count,
                std::size_t offset, std::size_t j, Mirror&& mirror) {
    const auto has = [&](std::size_t r) {
        return ((rows.row(r)[offset + (j >> 6)] >> (j & 63)) & 1) != 0;
    };
    std::size_t found = next;
    while (found < count && !has(found)) {
        ++found;
    }
    if (found == count) {
        return false;
    }
    if (found != next) {
        std::swap_ranges(rows.row(found), rows.row(found) + 2 * rows.words, rows.row(next));
        std::swap(rows.minus[found], rows.minus[next]);
        mirror.swap(found, next);
    }
    for (std::size_t r = first; r < count; ++r) {
        if (r != next && has(r)) {
            multiply_into(rows, r, next);
            mirror.multiply(r, next);
        }
    }
    return true;
}

// A mirror for pivot_step that tracks nothing.
struct NoMirror {
    void swap(std::size_t, std::size_t) const noexcept {}
    void multiply(std::size_t, std::size_t) const noexcept {}
};

// The X and Z bit a Pauli axis (0 X, 1 Y, 2 Z) sets.
constexpr bool has_x(AxisCode axis) {
    return axis != kAxisZ;
}
constexpr bool has_z(AxisCode axis) {
    return axis != kAxisX;
}

}  // namespace lumora
