// A random source that replays a fixed script of words and counts draws, so
// every random branch of the engine can be driven exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

struct ScriptedRng {
    std::vector<std::uint32_t> words;
    std::size_t drawn = 0;

    std::uint32_t next_u32() {
        if (drawn >= words.size()) {
            throw std::logic_error("scripted random source exhausted");
        }
        return words[drawn++];
    }

    // A word whose top bit, the measurement outcome bit, is `bit`.
    static std::uint32_t bit_word(unsigned bit) { return bit ? 0x80000000u : 0u; }
};
