// The memory of a dense block: a group's adjacency as a bit matrix. When a
// group takes this form, and when it leaves it, is decided in dense.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/qubit.hpp"

// Row kernels for AVX2 are compiled where the compiler can target it per
// function and check the processor at run time; not under clang-cl, whose
// processor check needs a runtime library that Windows builds do not link.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_MSC_VER)
#define LUMORA_HAVE_AVX2_PATH 1
#endif

namespace lumora {

// A group of qubits kept as a bit matrix: row i holds the neighbours of
// member i by their local indices. A block holds whole connected groups:
// no member has a neighbour outside it. Members stay until the block is
// dissolved as a whole.
struct DenseBlock {
    std::uint32_t size;        // members, with local indices 0..size-1
    std::uint32_t capacity;    // rows, a multiple of 8
    std::uint32_t words;       // words per row: capacity bits, rounded up
    std::uint32_t refs;        // records pointing here
    std::uint64_t degree_sum;  // twice the number of edges
    Qubit* members;            // local index -> qubit
    std::uint64_t* rows;       // capacity rows of `words` words

    std::uint64_t* row(Qubit local) noexcept { return rows + std::size_t{local} * words; }
    const std::uint64_t* row(Qubit local) const noexcept {
        return rows + std::size_t{local} * words;
    }
};

// row ^= pattern over `words` words; returns the bits left in the row.
// Uses 256-bit registers and the processor's population count where it
// has them (AVX2, chosen when the program starts), plain words otherwise.
std::uint32_t xor_and_count(std::uint64_t* row, const std::uint64_t* pattern,
                            std::uint32_t words) noexcept;

// For tests: the vector path on (where the processor has it; returns
// whether it is now in use) or off.
bool use_vector_rows(bool on) noexcept;
// Whether row updates use 256-bit registers now; the tableau's follow.
bool vector_rows_in_use() noexcept;

// A block with rows for `capacity` members (a multiple of 8), none yet.
DenseBlock* new_block(std::uint32_t capacity);
void free_block(DenseBlock* block) noexcept;
// A copy of the block's rows and members, with no records pointing at it.
DenseBlock* copy_block(const DenseBlock& original);

}  // namespace lumora
