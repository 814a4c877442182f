#include "engine/dense_block.hpp"

#include <bit>
#include <cstring>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace lumora {

namespace {

std::uint32_t xor_and_count_scalar(std::uint64_t* row, const std::uint64_t* pattern,
                                   std::uint32_t words) noexcept {
    std::uint32_t count = 0;
    for (std::uint32_t w = 0; w < words; ++w) {
        row[w] ^= pattern[w];
        count += static_cast<std::uint32_t>(std::popcount(row[w]));
    }
    return count;
}

#ifdef LUMORA_HAVE_AVX2_PATH

// Four words at a time in 256-bit registers, counted with the processor's
// population count.
[[gnu::target("avx2,popcnt")]] std::uint32_t xor_and_count_avx2(std::uint64_t* row,
                                                                const std::uint64_t* pattern,
                                                                std::uint32_t words) noexcept {
    std::uint64_t count = 0;
    std::uint32_t w = 0;
    for (; w + 4 <= words; w += 4) {
        const __m256i x =
            _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + w)),
                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pattern + w)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + w), x);
        count += static_cast<std::uint64_t>(
            _mm_popcnt_u64(static_cast<std::uint64_t>(_mm256_extract_epi64(x, 0))) +
            _mm_popcnt_u64(static_cast<std::uint64_t>(_mm256_extract_epi64(x, 1))) +
            _mm_popcnt_u64(static_cast<std::uint64_t>(_mm256_extract_epi64(x, 2))) +
            _mm_popcnt_u64(static_cast<std::uint64_t>(_mm256_extract_epi64(x, 3))));
    }
    for (; w < words; ++w) {
        row[w] ^= pattern[w];
        count += static_cast<std::uint64_t>(_mm_popcnt_u64(row[w]));
    }
    return static_cast<std::uint32_t>(count);
}

bool processor_has_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}
#endif

using XorAndCount = std::uint32_t (*)(std::uint64_t*, const std::uint64_t*, std::uint32_t) noexcept;

XorAndCount chosen() noexcept {
#ifdef LUMORA_HAVE_AVX2_PATH
    if (processor_has_avx2()) {
        return &xor_and_count_avx2;
    }
#endif
    return &xor_and_count_scalar;
}

XorAndCount xor_and_count_impl = chosen();

}  // namespace

std::uint32_t xor_and_count(std::uint64_t* row, const std::uint64_t* pattern,
                            std::uint32_t words) noexcept {
    return xor_and_count_impl(row, pattern, words);
}

bool vector_rows_in_use() noexcept {
    return xor_and_count_impl != &xor_and_count_scalar;
}

bool use_vector_rows(bool on) noexcept {
#ifdef LUMORA_HAVE_AVX2_PATH
    if (on && processor_has_avx2()) {
        xor_and_count_impl = &xor_and_count_avx2;
        return true;
    }
#endif
    static_cast<void>(on);
    xor_and_count_impl = &xor_and_count_scalar;
    return false;
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
