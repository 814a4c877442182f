// Copies and reloaded encodings are the same state and, given the same
// random words, evolve exactly as the original: every choice the engine
// makes depends on the graph alone, not on how its sets are stored.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/engine.hpp"
#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "scripted_rng.hpp"
#include "test_util.hpp"

namespace {

using namespace lumora;
using namespace testing_util;

class StateIo : public UnderStoreLimits {};

// A random step: a gate, a controlled gate or a measurement; returns the
// outcome of a measurement (or 2 for none) and the words it drew.
struct Step {
    int kind;
    Qubit a, b;
    LcOp gate;
    std::uint32_t word;
};

Step random_step(std::mt19937_64& gen, std::size_t n) {
    Step step{static_cast<int>(gen() % 10), static_cast<Qubit>(gen() % n), 0, 0,
              static_cast<std::uint32_t>(gen())};
    step.b = static_cast<Qubit>((step.a + 1 + gen() % (n - 1)) % n);
    step.gate = std::array<LcOp, 4>{kLcH, kLcS, kLcX, kLcSdag}[gen() % 4];
    return step;
}

std::pair<int, std::size_t> run_step(GraphState& s, const Step& step) {
    ScriptedRng rng{{step.word, step.word ^ 0x9E3779B9u}};
    if (step.kind < 3) {
        apply_gate(s, step.a, step.gate);
        return {2, 0};
    }
    if (step.kind < 8) {
        apply_two_qubit_gate(s, static_cast<TwoQubitGate>((step.kind + step.gate) % 9), step.a,
                             step.b);
        return {2, 0};
    }
    const int outcome = measure(s, step.a, static_cast<AxisCode>(step.word % 3), rng);
    return {outcome, rng.drawn};
}

TEST_P(StateIo, CopiesAndLoadsEvolveAsTheOriginal) {
    std::mt19937_64 gen(4242);
    int compared = 0;
    for (int circuit = 0; circuit < 60; ++circuit) {
        const std::size_t n = 2 + gen() % (circuit % 3 == 0 ? 60 : 9);
        GraphState original = create(n);
        for (int i = 0; i < 8 * static_cast<int>(n); ++i) {
            run_step(original, random_step(gen, n));
        }
        std::string bytes;
        encode_state(original, nullptr, bytes);
        GraphState copy = copy_state(original);
        GraphState loaded = decode_state(bytes).state;
        ASSERT_EQ(check_invariants(copy), "");
        ASSERT_EQ(check_invariants(loaded), "");
        ASSERT_TRUE(snapshot(copy) == snapshot(original));
        ASSERT_TRUE(snapshot(loaded) == snapshot(original));
        std::string again;
        encode_state(loaded, nullptr, again);
        ASSERT_EQ(again, bytes) << "one encoding per state";
        for (int i = 0; i < 10 * static_cast<int>(n); ++i) {
            const Step step = random_step(gen, n);
            const auto expected = run_step(original, step);
            ASSERT_EQ(run_step(copy, step), expected) << "circuit " << circuit << " step " << i;
            ASSERT_EQ(run_step(loaded, step), expected) << "circuit " << circuit << " step " << i;
        }
        ASSERT_TRUE(snapshot(copy) == snapshot(original)) << "circuit " << circuit;
        ASSERT_TRUE(snapshot(loaded) == snapshot(original)) << "circuit " << circuit;
        ++compared;
    }
    EXPECT_EQ(compared, 60);
}

TEST(StateIo, SeededStreamPositionsRoundTrip) {
    const std::uint8_t seed[] = {7, 0, 1};
    SeededStream stream(SeededStream::key_from_seed(seed, sizeof(seed)));
    for (int drawn = 0; drawn < 300; ++drawn) {
        const SeededStream::Position at = stream.position();
        ASSERT_TRUE(SeededStream::valid(at));
        SeededStream resumed(at);
        for (int i = 0; i < 70; ++i) {
            SeededStream ahead = stream;
            ASSERT_EQ(resumed.next_u32(), ahead.next_u32());
            stream = ahead;
        }
        stream = SeededStream(at);
        stream.next_u32();
    }
    // Seeds that differ only in length (leading zero bytes) or beyond the
    // first chunk give different keys.
    const std::uint8_t zero[32] = {};
    const auto key0 = SeededStream::key_from_seed(zero, 0);
    EXPECT_EQ(key0, SeededStream::key_from_seed(zero, 1));
    std::uint8_t long_seed[33] = {};
    long_seed[32] = 1;
    EXPECT_NE(SeededStream::key_from_seed(long_seed, 33), key0);
    EXPECT_NE(SeededStream::key_from_seed(long_seed, 32),
              SeededStream::key_from_seed(long_seed, 33));
}

// A stream stepped back to a mark draws the same words again, from any
// place in a refill and across refills; a preview stream leaves it alone.
TEST(StateIo, SeededStreamsRewindToMarks) {
    const std::uint8_t seed[] = {3};
    SeededStream stream(SeededStream::key_from_seed(seed, sizeof(seed)));
    for (int drawn = 0; drawn < 200; drawn += 7) {
        const SeededStream::Mark mark = stream.mark();
        const SeededStream::Position at = stream.position();
        std::vector<std::uint32_t> first;
        for (int i = 0; i < drawn; ++i) {
            first.push_back(stream.next_u32());
        }
        stream.rewind(mark);
        EXPECT_EQ(stream.preview_stream().next_u32(), SeededStream(at).preview_stream().next_u32());
        for (int i = 0; i < drawn; ++i) {
            ASSERT_EQ(stream.next_u32(), first[i]) << drawn << " " << i;
        }
        const std::uint32_t preview = stream.preview_stream().next_u32();
        stream.count_preview();
        EXPECT_NE(stream.preview_stream().next_u32(), preview);
    }
}

// Every truncation and every single-byte change of an encoding is refused
// with InvalidData, never anything worse.
TEST(StateIo, DecodingRefusesDamagedBytes) {
    std::mt19937_64 gen(9);
    GraphState s = random_state(gen, 30, 0.3);
    std::string bytes;
    const SeededStream::Position at{{1, 2, 3}, 8, 5, 300};
    encode_state(s, &at, bytes);
    const Decoded back = decode_state(bytes);
    ASSERT_TRUE(back.stream.has_value());
    EXPECT_EQ(back.stream->next_block, 8u);
    EXPECT_EQ(back.stream->used, 5u);
    EXPECT_EQ(back.stream->previews, 300u);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        EXPECT_THROW(decode_state(std::string_view(bytes).substr(0, cut)), InvalidData) << cut;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::string damaged = bytes;
        damaged[i] = static_cast<char>(damaged[i] ^ (1 + gen() % 255));
        EXPECT_THROW(decode_state(damaged), InvalidData) << i;
    }
    EXPECT_THROW(decode_state(bytes + '\0'), InvalidData);
}

INSTANTIATE_TEST_SUITE_P(Store, StateIo, ::testing::ValuesIn(limit_sets()), limits_name);

}  // namespace
