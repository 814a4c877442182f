// Bit rows of 64-bit words: dense blocks, bitmaps and stabilizer rows.
#pragma once

#include <cstdint>

namespace lumora {

inline bool test_bit(const std::uint64_t* words, std::uint64_t i) noexcept {
    return (words[i >> 6] >> (i & 63)) & 1;
}

inline void flip_bit(std::uint64_t* words, std::uint64_t i) noexcept {
    words[i >> 6] ^= std::uint64_t{1} << (i & 63);
}

inline void set_bit(std::uint64_t* words, std::uint64_t i) noexcept {
    words[i >> 6] |= std::uint64_t{1} << (i & 63);
}

}  // namespace lumora
