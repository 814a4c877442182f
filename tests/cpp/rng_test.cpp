// The random source: the ChaCha12 keystream, refills and rekeying of the
// reseeding generator, the two ways words are turned into values, and the
// statistics of the real per-thread generator as the engine uses it.
#include "engine/rng.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "scripted_rng.hpp"

namespace {

using namespace lumora;
using Key = std::array<std::uint8_t, 32>;

// ChaCha12 keystream for the all-zero key, block counter 0 and 1.
constexpr const char* kZeroKeyStream =
    "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
    "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
    "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
    "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316";

std::vector<std::uint32_t> zero_key_words() {
    std::vector<std::uint32_t> words;
    const std::string hex = kZeroKeyStream;
    for (std::size_t i = 0; i < hex.size(); i += 8) {
        std::uint32_t w = 0;
        for (int b = 3; b >= 0; --b) {
            w = w << 8 | std::stoul(hex.substr(i + 2 * b, 2), nullptr, 16);
        }
        words.push_back(w);
    }
    return words;
}

// Words [16 * first, 16 * (first + blocks)) of the keystream of `key`, from a
// plain one-block-at-a-time ChaCha12: the yardstick for the engine's
// four-lane version.
std::vector<std::uint32_t> reference(const Key& key, std::uint64_t first, std::size_t blocks) {
    std::vector<std::uint32_t> out;
    for (std::uint64_t counter = first; counter < first + blocks; ++counter) {
        std::array<std::uint32_t, 16> in = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
        for (int i = 0; i < 32; ++i) {
            in[4 + i / 4] |= static_cast<std::uint32_t>(key[i]) << 8 * (i % 4);
        }
        in[12] = static_cast<std::uint32_t>(counter);
        in[13] = static_cast<std::uint32_t>(counter >> 32);
        std::array<std::uint32_t, 16> x = in;
        auto qr = [&x](int a, int b, int c, int d) {
            x[a] += x[b], x[d] = std::rotl(x[d] ^ x[a], 16);
            x[c] += x[d], x[b] = std::rotl(x[b] ^ x[c], 12);
            x[a] += x[b], x[d] = std::rotl(x[d] ^ x[a], 8);
            x[c] += x[d], x[b] = std::rotl(x[b] ^ x[c], 7);
        };
        for (int r = 0; r < 12; r += 2) {
            qr(0, 4, 8, 12), qr(1, 5, 9, 13), qr(2, 6, 10, 14), qr(3, 7, 11, 15);
            qr(0, 5, 10, 15), qr(1, 6, 11, 12), qr(2, 7, 8, 13), qr(3, 4, 9, 14);
        }
        for (int i = 0; i < 16; ++i) {
            out.push_back(x[i] + in[i]);
        }
    }
    return out;
}

template <class Rng>
std::vector<std::uint32_t> draw(Rng& rng, std::size_t n) {
    std::vector<std::uint32_t> out;
    while (out.size() < n) {
        out.push_back(rng.next_u32());
    }
    return out;
}

// Entropy source for the reseeding tests: call k (from 1) hands out a key
// whose first byte is k; the first `failing_calls` calls fail instead.
int entropy_calls = 0;
int failing_calls = 0;

Key numbered_key(int k) {
    Key key{};
    key[0] = static_cast<std::uint8_t>(k);
    key[31] = 0xA5;
    return key;
}

bool fake_entropy(Key& key, std::string& error) {
    if (++entropy_calls <= failing_calls) {
        error = "entropy unavailable";
        return false;
    }
    key = numbered_key(entropy_calls);
    return true;
}

constexpr std::size_t kWordsPerKey = 65536 / 4;

TEST(RngStream, ZeroKeyVectorAndRefills) {
    const std::vector<std::uint32_t> expected = zero_key_words();
    ASSERT_EQ(expected.size(), 32u);
    EXPECT_EQ(reference(Key{}, 0, 2), expected);
    entropy_calls = failing_calls = 0;
    ReseedingRng rng(Key{}, &fake_entropy);
    EXPECT_EQ(draw(rng, 32), expected);
    // Words 32.. continue the keystream across the refills at 64 and 128.
    const std::vector<std::uint32_t> stream = reference(Key{}, 0, 12);
    EXPECT_EQ(draw(rng, 160), std::vector<std::uint32_t>(stream.begin() + 32, stream.end()));
    EXPECT_EQ(rng.block_counter(), 12u);
    ChaCha12 core(Key{});
    std::uint32_t out[ChaCha12::kWordsPerRefill];
    for (std::size_t refill = 0; refill < 3; ++refill) {
        core.generate(out);
        EXPECT_TRUE(std::equal(out, out + 64, stream.begin() + 64 * refill)) << refill;
        EXPECT_EQ(core.block_counter(), 4 * (refill + 1));
    }
    EXPECT_EQ(entropy_calls, 0);
}

TEST(RngStream, RekeysAfter64KiB) {
    for (int failing : {0, 1}) {
        entropy_calls = 0;
        failing_calls = failing;
        ReseedingRng rng(Key{}, &fake_entropy);
        EXPECT_EQ(draw(rng, kWordsPerKey), reference(Key{}, 0, 1024));
        EXPECT_EQ(entropy_calls, 0);
        if (failing == 1) {
            // The old key stays, its block counter runs on, and the next
            // attempt comes another 64 KiB later.
            EXPECT_EQ(draw(rng, kWordsPerKey), reference(Key{}, 1024, 1024));
            EXPECT_EQ(entropy_calls, 1);
        }
        EXPECT_EQ(draw(rng, 64), reference(numbered_key(failing + 1), 0, 4));
        EXPECT_EQ(entropy_calls, failing + 1);
        EXPECT_EQ(rng.block_counter(), 4u);
    }
}

TEST(RngDraws, WordsToValues) {
    // The outcome bit is the top bit of one word.
    for (std::uint32_t word : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
        ScriptedRng rng{{word, 0xFFFFFFFFu}};
        EXPECT_EQ(draw_bit(rng), word >= 0x80000000u ? 1 : 0) << word;
        EXPECT_EQ(rng.drawn, 1u);
    }
    // The axis is floor(3x / 2^64) for x the 64-bit number of a word and its
    // successor; the successor is taken only when the low half of 3 * word
    // exceeds 2^32 - 3, that is when it can carry.
    struct Case {
        std::uint32_t w, w2;
        int value;
        std::size_t drawn;
    };
    const std::vector<Case> cases = {
        {0u, 0xFFFFFFFFu, 0, 1},          {0x55555554u, 0xFFFFFFFFu, 0, 1},
        {0x55555555u, 0x55555555u, 0, 2}, {0x55555555u, 0x55555556u, 1, 2},
        {0x55555556u, 0xFFFFFFFFu, 1, 1}, {0xAAAAAAAAu, 0xAAAAAAAAu, 1, 2},
        {0xAAAAAAAAu, 0xAAAAAAABu, 2, 2}, {0xAAAAAAABu, 0xFFFFFFFFu, 2, 1},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 2, 1},  // low half exactly 2^32 - 3
        {0x12345678u, 0x9ABCDEF0u, 0, 1}, {0xDEADBEEFu, 0xFFFFFFFFu, 2, 1},
    };
    for (const Case& c : cases) {
        ScriptedRng rng{{c.w, c.w2, 0xFFFFFFFFu}};
        const int value = draw_uniform3(rng);
        EXPECT_EQ(value, c.value) << c.w << " " << c.w2;
        EXPECT_EQ(rng.drawn, c.drawn) << c.w;
        const unsigned __int128 x = static_cast<unsigned __int128>(c.w) << 32 | c.w2;
        EXPECT_EQ(value, static_cast<int>(3 * x >> 64)) << c.w << " " << c.w2;
    }
}

// Hoeffding: a count over n independent trials strays from its mean by t or
// more with probability at most 2 exp(-2 t^2 / n); `tails` such events share
// the false-alarm budget.
// The two statistical tests share a false-alarm budget of 1e-9 per run.
constexpr double kBudget = 0.5e-9;

double hoeffding_bound(double n, double tails, double budget) {
    return std::sqrt(n * std::log(tails / budget) / 2.0);
}

TEST(RngStatistics, RandomOutcomesAreBalanced) {
    constexpr int n = 200000;
    GraphState s = create(1);
    ThreadRng rng;
    int minus = 0;
    for (int i = 0; i < n; ++i) {
        s.node(0).vop = kLcH;  // a fresh |0>, whose X outcome is random
        const std::uint8_t r = measure(s, 0, kAxisX, rng);
        ASSERT_EQ(s.node(0).vop, r ? kLcZ : kLcIdentity);
        minus += r;
    }
    EXPECT_LE(std::abs(minus - n / 2), hoeffding_bound(n, 2, kBudget)) << minus;
}

TEST(RngStatistics, PreviewAxisIsUniform) {
    constexpr int n = 300000;
    GraphState s = create(2);
    apply_gate(s, 0, kLcH);
    apply_two_qubit_gate(s, TwoQubitGate::cx, 0, 1);
    ThreadRng rng;
    int axis_count[3] = {};
    int joint[3][2] = {};
    for (int i = 0; i < n; ++i) {
        const auto records = peek_measure_set(s, {0}, rng);
        ASSERT_EQ(records.size(), 1u);
        ASSERT_LE(records[0].axis, kAxisZ);
        ++axis_count[records[0].axis];
        ++joint[records[0].axis][records[0].result];
    }
    // Three axis counts and six (axis, outcome) cells, two tails each.
    const double bound = hoeffding_bound(n, 18, kBudget);
    for (int a = 0; a < 3; ++a) {
        EXPECT_LE(std::abs(axis_count[a] - n / 3.0), bound) << a;
        for (int r = 0; r < 2; ++r) {
            EXPECT_LE(std::abs(joint[a][r] - n / 6.0), bound) << a << r;
        }
    }
}

TEST(RngStatistics, ThreadsDrawTheirOwnStreams) {
    std::vector<std::uint32_t> a, b, mine;
    auto draw_into = [](std::vector<std::uint32_t>& out) {
        ThreadRng rng;
        out = draw(rng, 8);
    };
    std::thread ta(draw_into, std::ref(a));
    std::thread tb(draw_into, std::ref(b));
    ta.join();
    tb.join();
    draw_into(mine);
    EXPECT_NE(a, b);
    EXPECT_NE(a, mine);
    EXPECT_NE(b, mine);
}

}  // namespace
