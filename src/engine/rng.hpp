// The random source: ChaCha with 12 rounds used as a block generator, one
// per OS thread, keyed from the operating system and rekeyed after every
// 64 KiB of output.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace lumora {

// ChaCha12 keystream: 256-bit key, 64-bit block counter from 0, stream 0.
class ChaCha12 {
public:
    static constexpr std::size_t kBlocksPerRefill = 4;
    static constexpr std::size_t kWordsPerRefill = 16 * kBlocksPerRefill;

    explicit ChaCha12(const std::array<std::uint8_t, 32>& key) noexcept;

    // Writes the next four consecutive blocks, as little-endian words.
    void generate(std::uint32_t (&out)[kWordsPerRefill]) noexcept;

    std::uint64_t block_counter() const noexcept { return counter_; }
    void seek(std::uint64_t block) noexcept { counter_ = block; }

private:
    std::array<std::uint32_t, 8> key_;
    std::uint64_t counter_ = 0;
};

// Fills the key from the operating system; on failure returns false and
// sets `error` to the system's error text.
using EntropySource = bool (*)(std::array<std::uint8_t, 32>& key, std::string& error);

bool os_entropy(std::array<std::uint8_t, 32>& key, std::string& error);

// Words are drawn one at a time from a 64-word buffer. Every refill counts
// 256 bytes against 65536; once the count is used up the next refill first
// asks for a fresh key (a failed rekey silently keeps the old one).
class ReseedingRng {
public:
    static constexpr std::int64_t kReseedThreshold = 65536;
    static constexpr std::int64_t kBytesPerRefill = 4 * ChaCha12::kWordsPerRefill;

    ReseedingRng(const std::array<std::uint8_t, 32>& key, EntropySource entropy) noexcept
        : core_(key), entropy_(entropy) {}

    std::uint32_t next_u32() noexcept {
        if (index_ >= ChaCha12::kWordsPerRefill) {
            refill();
        }
        return buffer_[index_++];
    }

    std::uint64_t block_counter() const noexcept { return core_.block_counter(); }

private:
    void refill() noexcept;

    ChaCha12 core_;
    EntropySource entropy_;
    std::int64_t bytes_until_reseed_ = kReseedThreshold;
    std::size_t index_ = ChaCha12::kWordsPerRefill;
    std::uint32_t buffer_[ChaCha12::kWordsPerRefill] = {};
};

// A simulator's own stream, keyed from a seed and never rekeyed: the same
// seed gives the same words on any thread. Words are drawn from 64-word
// refills exactly as the thread generator draws them.
class SeededStream {
public:
    using Key = std::array<std::uint8_t, 32>;

    // Where a stream stands: its key, the first block of the next refill
    // (a multiple of 4), how many words of the current refill are used, and
    // how many previews have drawn from streams of their own so far.
    struct Position {
        Key key;
        std::uint64_t next_block;
        std::uint32_t used;
        std::uint64_t previews = 0;
    };

    // A cheap note of where the words stand, to step back to after a call
    // that drew words and then failed.
    struct Mark {
        std::uint64_t block;
        std::size_t index;
    };

    explicit SeededStream(const Key& key) noexcept : core_(key), key_(key) {}

    // The key for a seed given as little-endian bytes: the bytes in 32-byte
    // chunks (zero-padded, at least one), k = 0, then k = F(k xor chunk)
    // for each chunk and k = F(k xor count of chunks), F(x) being the first
    // 32 bytes of ChaCha12 block 0 under the key x.
    static Key key_from_seed(const std::uint8_t* little_endian, std::size_t size) noexcept;

    // Whether a position could have been reached by some stream.
    static bool valid(const Position& at) noexcept;
    // A stream standing where `at` says (which must be valid).
    explicit SeededStream(const Position& at) noexcept;

    Position position() const noexcept {
        return {key_, core_.block_counter(), static_cast<std::uint32_t>(index_), previews_};
    }

    Mark mark() const noexcept { return {core_.block_counter(), index_}; }
    // Back to a mark taken on this stream: the words drawn since come again.
    void rewind(const Mark& mark) noexcept;

    // A preview draws from a stream of its own, keyed from this stream's
    // position and the number of previews so far, so that previews never
    // move this stream: adding or removing one changes no later outcome.
    // The key is key_from_seed of: the key, the next block (8 bytes), the
    // words used (4 bytes), the preview count (8 bytes, all little-endian)
    // and the ASCII text "preview".
    SeededStream preview_stream() const noexcept;
    // Counts a preview that succeeded.
    void count_preview() noexcept { ++previews_; }

    std::uint32_t next_u32() noexcept {
        if (index_ >= ChaCha12::kWordsPerRefill) {
            core_.generate(buffer_);
            index_ = 0;
        }
        return buffer_[index_++];
    }

private:
    ChaCha12 core_;
    Key key_;
    std::uint64_t previews_ = 0;
    std::size_t index_ = ChaCha12::kWordsPerRefill;
    std::uint32_t buffer_[ChaCha12::kWordsPerRefill] = {};
};

// The calling thread's generator, keyed from the OS at its first draw. If
// that first keying fails, the draw throws EngineFailure with
// "could not initialize ThreadRng: " and the system's error text.
struct ThreadRng {
    std::uint32_t next_u32();
};

// The outcome bit of a random measurement: the top bit of one word.
template <class Rng>
std::uint8_t draw_bit(Rng& rng) {
    return static_cast<std::uint8_t>(rng.next_u32() >> 31);
}

// A uniform value in 0..2: the integer part of 3x/2^64, x being the 64-bit
// number formed by one word and, rarely, a second one.
template <class Rng>
std::uint8_t draw_uniform3(Rng& rng) {
    const std::uint64_t m = 3ull * rng.next_u32();
    std::uint32_t value = static_cast<std::uint32_t>(m >> 32);
    const std::uint32_t low = static_cast<std::uint32_t>(m);
    if (low > 0xFFFFFFFDu) {
        const std::uint64_t m2 = 3ull * rng.next_u32();
        const std::uint32_t carry_in = static_cast<std::uint32_t>(m2 >> 32);
        if (static_cast<std::uint32_t>(low + carry_in) < low) {
            ++value;
        }
    }
    return static_cast<std::uint8_t>(value);
}

}  // namespace lumora
