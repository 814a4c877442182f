#include "engine/rng.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/failure.hpp"

namespace lumora {

namespace {

constexpr std::uint32_t kSigma[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};

inline std::uint32_t rotl(std::uint32_t x, int n) noexcept {
    return (x << n) | (x >> (32 - n));
}

std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

ChaCha12::ChaCha12(const std::array<std::uint8_t, 32>& key) noexcept {
    for (std::size_t i = 0; i < 8; ++i) {
        key_[i] = load_le32(key.data() + 4 * i);
    }
}

void ChaCha12::generate(std::uint32_t (&out)[kWordsPerRefill]) noexcept {
    constexpr std::size_t L = kBlocksPerRefill;
    // The four blocks are computed side by side, one lane each, so the
    // compiler can run the rounds on vector registers.
    std::uint32_t init[16][L];
    for (std::size_t lane = 0; lane < L; ++lane) {
        for (std::size_t i = 0; i < 4; ++i) {
            init[i][lane] = kSigma[i];
        }
        for (std::size_t i = 0; i < 8; ++i) {
            init[4 + i][lane] = key_[i];
        }
        const std::uint64_t block = counter_ + lane;
        init[12][lane] = static_cast<std::uint32_t>(block);
        init[13][lane] = static_cast<std::uint32_t>(block >> 32);
        init[14][lane] = 0;  // stream 0
        init[15][lane] = 0;
    }
    std::uint32_t x[16][L];
    std::memcpy(x, init, sizeof(x));

    auto quarter = [&x](int a, int b, int c, int d) {
        for (std::size_t lane = 0; lane < L; ++lane) {
            x[a][lane] += x[b][lane];
            x[d][lane] = rotl(x[d][lane] ^ x[a][lane], 16);
            x[c][lane] += x[d][lane];
            x[b][lane] = rotl(x[b][lane] ^ x[c][lane], 12);
            x[a][lane] += x[b][lane];
            x[d][lane] = rotl(x[d][lane] ^ x[a][lane], 8);
            x[c][lane] += x[d][lane];
            x[b][lane] = rotl(x[b][lane] ^ x[c][lane], 7);
        }
    };
    for (int round = 0; round < 12; round += 2) {
        quarter(0, 4, 8, 12);
        quarter(1, 5, 9, 13);
        quarter(2, 6, 10, 14);
        quarter(3, 7, 11, 15);
        quarter(0, 5, 10, 15);
        quarter(1, 6, 11, 12);
        quarter(2, 7, 8, 13);
        quarter(3, 4, 9, 14);
    }
    for (std::size_t lane = 0; lane < L; ++lane) {
        for (std::size_t i = 0; i < 16; ++i) {
            out[16 * lane + i] = x[i][lane] + init[i][lane];
        }
    }
    counter_ += L;
}

void ReseedingRng::refill() noexcept {
    if (bytes_until_reseed_ <= 0) {
        std::array<std::uint8_t, 32> key;
        std::string ignored;
        if (entropy_(key, ignored)) {
            core_ = ChaCha12(key);
        }
        bytes_until_reseed_ = kReseedThreshold;
    }
    bytes_until_reseed_ -= kBytesPerRefill;
    core_.generate(buffer_);
    index_ = 0;
}

SeededStream::Key SeededStream::key_from_seed(const std::uint8_t* little_endian,
                                              std::size_t size) noexcept {
    const auto mix = [](const Key& key) {
        ChaCha12 core(key);
        std::uint32_t words[ChaCha12::kWordsPerRefill];
        core.generate(words);
        Key out;
        for (std::size_t i = 0; i < 32; ++i) {
            out[i] = static_cast<std::uint8_t>(words[i / 4] >> (8 * (i % 4)));
        }
        return out;
    };
    const std::size_t chunks = size == 0 ? 1 : (size + 31) / 32;
    Key k{};
    for (std::size_t c = 0; c < chunks; ++c) {
        Key input = k;
        for (std::size_t i = 0; i < 32 && c * 32 + i < size; ++i) {
            input[i] ^= little_endian[c * 32 + i];
        }
        k = mix(input);
    }
    for (std::size_t i = 0; i < 8; ++i) {
        k[i] ^= static_cast<std::uint8_t>(std::uint64_t{chunks} >> (8 * i));
    }
    return mix(k);
}

bool SeededStream::valid(const Position& at) noexcept {
    return at.next_block % ChaCha12::kBlocksPerRefill == 0 &&
           at.used <= ChaCha12::kWordsPerRefill &&
           (at.used == ChaCha12::kWordsPerRefill || at.next_block != 0);
}

SeededStream::SeededStream(const Position& at) noexcept
    : core_(at.key), key_(at.key), previews_(at.previews) {
    rewind({at.next_block, at.used});
}

void SeededStream::rewind(const Mark& mark) noexcept {
    if (mark.index < ChaCha12::kWordsPerRefill) {
        // The refill the mark stands in, made again unless it is the one held.
        if (core_.block_counter() != mark.block) {
            core_.seek(mark.block - ChaCha12::kBlocksPerRefill);
            core_.generate(buffer_);
        }
    } else {
        core_.seek(mark.block);
    }
    index_ = mark.index;
}

SeededStream SeededStream::preview_stream() const noexcept {
    constexpr char kTag[] = "preview";
    std::uint8_t bytes[32 + 8 + 4 + 8 + sizeof(kTag) - 1];
    std::uint8_t* at = std::copy(key_.begin(), key_.end(), bytes);
    const auto put = [&at](std::uint64_t value, int size) {
        for (int i = 0; i < size; ++i) {
            *at++ = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    put(core_.block_counter(), 8);
    put(index_, 4);
    put(previews_, 8);
    std::copy(kTag, kTag + sizeof(kTag) - 1, at);
    return SeededStream(key_from_seed(bytes, sizeof(bytes)));
}

namespace {

thread_local std::optional<ReseedingRng> thread_generator;

#if defined(__unix__) || defined(__APPLE__)
// A forked child would otherwise replay its parent's stream; it keys a
// generator of its own at its first draw instead.
void forget_generator_in_child() noexcept {
    thread_generator.reset();
}

[[maybe_unused]] const int fork_hook_registered =
    ::pthread_atfork(nullptr, nullptr, &forget_generator_in_child);
#endif

[[gnu::noinline]] ReseedingRng& key_thread_generator() {
    std::array<std::uint8_t, 32> key;
    std::string error;
    if (!os_entropy(key, error)) {
        throw EngineFailure("could not initialize ThreadRng: " + error);
    }
    return thread_generator.emplace(key, &os_entropy);
}

}  // namespace

std::uint32_t ThreadRng::next_u32() {
    ReseedingRng& rng = thread_generator ? *thread_generator : key_thread_generator();
    return rng.next_u32();
}

}  // namespace lumora
