#include <gtest/gtest.h>

#include "engine/engine.hpp"
#include "engine/gates.hpp"
#include "engine/measure.hpp"

TEST(Smoke, BellPair) {
    lumora::GraphState s = lumora::create(3);
    lumora::apply_gate(s, 0, lumora::kLcH);
    lumora::apply_two_qubit_gate(s, lumora::TwoQubitGate::cx, 0, 1);
    EXPECT_EQ(lumora::entangled_group(s, 0).size(), 2u);
    lumora::ThreadRng rng;
    auto a = lumora::measure(s, 0, lumora::kAxisZ, rng);
    auto b = lumora::measure(s, 1, lumora::kAxisZ, rng);
    EXPECT_EQ(a, b);
}
