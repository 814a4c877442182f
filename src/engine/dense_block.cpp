#include "engine/dense_block.hpp"

#include <bit>
#include <cstring>
#include <new>

namespace lumora {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
[[gnu::target_clones("popcnt", "default")]]
#endif
std::uint32_t xor_and_count(std::uint64_t* row, const std::uint64_t* pattern,
                            std::uint32_t words) noexcept {
    std::uint32_t count = 0;
    for (std::uint32_t w = 0; w < words; ++w) {
        row[w] ^= pattern[w];
        count += static_cast<std::uint32_t>(std::popcount(row[w]));
    }
    return count;
}

DenseBlock* new_block(std::uint32_t capacity) {
    auto* block = static_cast<DenseBlock*>(::operator new(sizeof(DenseBlock)));
    block->size = 0;
    block->capacity = capacity;
    block->words = (capacity + 63) / 64;
    block->refs = 0;
    block->degree_sum = 0;
    block->members = nullptr;
    block->rows = nullptr;
    try {
        block->members = static_cast<Qubit*>(::operator new(sizeof(Qubit) * capacity));
        const std::size_t row_bytes = sizeof(std::uint64_t) * capacity * std::size_t{block->words};
        block->rows = static_cast<std::uint64_t*>(::operator new(row_bytes));
        std::memset(block->rows, 0, row_bytes);
    } catch (...) {
        free_block(block);
        throw;
    }
    return block;
}

DenseBlock* copy_block(const DenseBlock& original) {
    DenseBlock* copy = new_block(original.capacity);
    copy->size = original.size;
    copy->degree_sum = original.degree_sum;
    std::memcpy(copy->members, original.members, sizeof(Qubit) * original.size);
    std::memcpy(copy->rows, original.rows,
                sizeof(std::uint64_t) * original.capacity * std::size_t{original.words});
    return copy;
}

void free_block(DenseBlock* block) noexcept {
    ::operator delete(block->members);
    ::operator delete(block->rows);
    ::operator delete(block);
}

}  // namespace lumora
