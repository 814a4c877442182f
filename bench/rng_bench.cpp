// Cost of one generator refill (four ChaCha12 blocks, 256 bytes), in
// nanoseconds and, on x86, in time-stamp-counter cycles per byte.
//
//   cmake --preset release && cmake --build --preset release --target rng_bench
//   build/release/rng_bench
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define LUMORA_TSC() __rdtsc()
#else
#define LUMORA_TSC() 0ull
#endif

#include <chrono>
#include <cstdio>

#include "engine/rng.hpp"

int main() {
    std::array<std::uint8_t, 32> key{};
    lumora::ChaCha12 core(key);
    std::uint32_t out[lumora::ChaCha12::kWordsPerRefill];
    constexpr int refills = 2'000'000;
    std::uint32_t sink = 0;
    const auto start = std::chrono::steady_clock::now();
    const unsigned long long c0 = LUMORA_TSC();
    for (int i = 0; i < refills; ++i) {
        core.generate(out);
        sink ^= out[i & 63];
    }
    const unsigned long long c1 = LUMORA_TSC();
    const auto stop = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(stop - start).count() / refills;
    const double cycles_per_byte = static_cast<double>(c1 - c0) / refills / 256.0;
    std::printf("refill: %.1f ns, %.2f TSC cycles per byte (checksum %u)\n", ns, cycles_per_byte,
                sink);

    lumora::ReseedingRng rng(key, &lumora::os_entropy);
    constexpr int draws = 50'000'000;
    const auto d0 = std::chrono::steady_clock::now();
    for (int i = 0; i < draws; ++i) {
        sink ^= rng.next_u32();
    }
    const auto d1 = std::chrono::steady_clock::now();
    std::printf("draw: %.2f ns per word (checksum %u)\n",
                std::chrono::duration<double, std::nano>(d1 - d0).count() / draws, sink);
}
