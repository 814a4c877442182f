// Hand-worked examples: errors and their messages, single-qubit gates on a
// fresh qubit, small controlled-gate circuits, measurements on small graphs,
// correlations, the preview and the entanglement query. States are checked
// against the dense reference, so any representation of them passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "scripted_rng.hpp"
#include "state_vector.hpp"
#include "test_util.hpp"

namespace {

using namespace lumora;
using namespace testing_util;
using Group = std::vector<Qubit>;

std::string oob(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

// The message of the exception of type E thrown by f, or a marker.
template <class E, class F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

struct TwoQubit {
    TwoQubitGate gate;
    int control_axis, target_pauli;  // as in state_vector::controlled
};
const std::map<std::string, TwoQubit> kTwoQubit = {
    {"cz", {TwoQubitGate::cz, 2, 2}},   {"cx", {TwoQubitGate::cx, 2, 0}},
    {"cy", {TwoQubitGate::cy, 2, 1}},   {"xcx", {TwoQubitGate::xcx, 0, 0}},
    {"xcy", {TwoQubitGate::xcy, 0, 1}}, {"xcz", {TwoQubitGate::xcz, 0, 2}},
    {"ycx", {TwoQubitGate::ycx, 1, 0}}, {"ycy", {TwoQubitGate::ycy, 1, 1}},
    {"ycz", {TwoQubitGate::ycz, 1, 2}}};

// Runs a circuit written as "h0 s0 cx01" (a gate name, then its qubits) on
// the engine and on the dense model alike.
void run(GraphState& s, state_vector::State& ref, const std::string& circuit) {
    static const std::map<std::string, std::pair<LcOp, state_vector::Mat2>> single = {
        {"x", {kLcX, state_vector::kPauli[0]}}, {"y", {kLcY, state_vector::kPauli[1]}},
        {"z", {kLcZ, state_vector::kPauli[2]}}, {"h", {kLcH, state_vector::kH}},
        {"s", {kLcS, state_vector::kS}},        {"sdag", {kLcSdag, state_vector::kSdag}}};
    std::istringstream in(circuit);
    for (std::string t; in >> t;) {
        const std::size_t d = t.find_first_of("0123456789");
        const std::size_t a = t[d] - '0';
        if (d + 1 == t.size()) {
            const auto& [op, matrix] = single.at(t.substr(0, d));
            apply_gate(s, a, op);
            ref.apply(matrix, a);
        } else {
            const std::size_t b = t[d + 1] - '0';
            const TwoQubit& g = kTwoQubit.at(t.substr(0, d));
            apply_two_qubit_gate(s, g.gate, a, b);
            ref.apply(state_vector::controlled(g.control_axis, g.target_pauli), a, b);
        }
    }
}

GraphState prepared(std::size_t n, const std::string& circuit) {
    GraphState s = create(n);
    state_vector::State ref(n);
    run(s, ref, circuit);
    return s;
}

class Examples : public UnderStoreLimits {};

TEST(ErrorExamples, MessagesAndFailedCallsChangeNothing) {
    GraphState empty = create(0);
    ScriptedRng none;  // throws if anything is drawn
    EXPECT_EQ(message_of<EngineFailure>([&] { apply_gate(empty, 0, kLcH); }), oob(0, 0));
    EXPECT_EQ(message_of<EngineFailure>([&] { measure(empty, 0, kAxisZ, none); }), oob(0, 0));
    EXPECT_EQ(message_of<EngineFailure>([&] { cz(empty, 0, 1); }), oob(0, 0));
    EXPECT_EQ(message_of<EngineFailure>([&] { entangled_group(empty, 0); }), oob(0, 0));
    for (std::size_t n :
         {std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max() / 2}) {
        EXPECT_EQ(message_of<EngineFailure>([&] { create(n); }), "capacity overflow");
    }

    GraphState s = prepared(3, "h0 cx01 s2 x1");
    const Snapshot before = snapshot(s);
    // Gates that look at the target first name it when both are bad.
    const std::vector<std::string> target_first = {"cx", "cy", "xcy", "ycy"};
    for (const auto& [name, g] : kTwoQubit) {
        const TwoQubitGate gate = g.gate;  // lambdas capture variables, not bindings
        const std::size_t both_bad = std::ranges::count(target_first, name) ? 7 : 5;
        const std::size_t calls[][3] = {{5, 0, 5}, {0, 5, 5}, {5, 7, both_bad}};
        for (const auto& call : calls) {
            const std::size_t control = call[0], target = call[1], named = call[2];
            EXPECT_EQ(
                message_of<EngineFailure>([&] { apply_two_qubit_gate(s, gate, control, target); }),
                oob(3, named))
                << name << " " << control << "," << target;
        }
        for (std::size_t q : {1, 7}) {
            EXPECT_EQ(message_of<SameQubitError>([&] { apply_two_qubit_gate(s, gate, q, q); }),
                      "control and target must be different qubits, got " + std::to_string(q) +
                          " for both")
                << name;
        }
    }
    EXPECT_EQ(message_of<EngineFailure>([&] { cz(s, 0, 3); }), oob(3, 3));
    EXPECT_EQ(message_of<EngineFailure>([&] { apply_gate(s, 3, kLcS); }), oob(3, 3));
    EXPECT_EQ(message_of<EngineFailure>([&] { measure(s, 4, kAxisX, none); }), oob(3, 4));
    EXPECT_EQ(message_of<EngineFailure>([&] { entangled_group(s, 3); }), oob(3, 3));
    // Qubit 2 is isolated, so the preview gets to the bad index without a draw.
    EXPECT_EQ(message_of<EngineFailure>([&] { peek_measure_set(s, {2, 5}, none); }), oob(3, 5));
    EXPECT_EQ(none.drawn, 0u);
    EXPECT_EQ(snapshot(s), before);
    EXPECT_EQ(check_invariants(s), "");
}

TEST(GateExamples, SingleQubitGatesOnAFreshQubit) {
    EXPECT_EQ(create(1).node(0).vop, kLcH);
    const std::vector<std::pair<std::string, LcOp>> cases = {
        {"h0", 0},     {"h0 h0", 10}, {"x0", 9},        {"y0", 8},     {"z0", 11},   {"s0", 20},
        {"sdag0", 21}, {"s0 s0", 11}, {"s0 sdag0", 10}, {"x0 x0", 10}, {"h0 s0", 6},
    };
    for (const auto& [circuit, vop] : cases) {
        EXPECT_EQ(prepared(1, circuit).node(0).vop, vop) << circuit;
    }
    GraphState g = build_state(3, {{0, 1}, {2, 1}});
    const Edges edges = edge_list(g);
    state_vector::State ref = state_vector::expand(g);
    run(g, ref, "x1 y1 z1 h1 s1 sdag1 h0 s2");
    EXPECT_EQ(edge_list(g), edges);
    EXPECT_TRUE(state_vector::equal_up_to_phase(ref.amp, state_vector::expand(g).amp));
}

// Each case lists the factors the state splits into, worked out by hand;
// for a graph state they are the connected components.
TEST_P(Examples, ControlledGateCircuits) {
    struct Case {
        std::string circuit;
        std::vector<Group> factors;
    };
    const std::vector<Case> cases = {
        {"cz01", {{0}, {1}}},
        {"x0 h1 cz01", {{0}, {1}}},  // |1>|+> becomes |1>|->
        {"h0 h1 cz01", {{0, 1}}},
        {"h0 h1 cz01 cz01", {{0}, {1}}},
        {"h0 h1 cz01 h1 cz01", {{0, 1}}},
        // -Y on 0, and 1, 2 held by -Y1 Z2 and Z1 X2.
        {"h0 h1 h2 cz01 cz02 h0 s0 h0 h1 cz01", {{0}, {1, 2}}},
        {"h0 h1 h2 cz01 cz02 cz12", {{0, 1, 2}}},
        {"cx01", {{0}, {1}}},
        {"h0 cx01", {{0, 1}}},
        {"h0 cx01 cx12", {{0, 1, 2}}},
        {"ycy01", {{0, 1}}},
        {"h0 cx01 cx01", {{0}, {1}}},
        {"h0 cx01 h0 cz01", {{0}, {1}}},  // Z0 X1, X0 Z1 is the graph state of 0-1
        {"h0 cx01 cx02 cx03 cx04", {{0, 1, 2, 3, 4}}},
        // X0 on the star's centre after the complementation: X0 and Z1 X2,3,4.
        {"h0 h1 h2 h3 h4 cz01 cz02 cz03 cz04 h0 h1 cz01", {{0}, {1, 2, 3, 4}}},
        {"h0 h1 h2 h3 cz01 cz12 cz23 cz03 cz02 cz13", {{0, 1, 2, 3}}},
        {"h0 cx01 h2 cx23 h0 h2 cz02", {{0, 1, 2, 3}}},  // the path 1-0-2-3
        // Two GHZ states: after cz03 only Z0 Z1, Z1 Z2 of the group live on 0, 1, 2.
        {"h0 cx01 cx02 h3 cx34 cx35 cz03", {{0, 1, 2, 3, 4, 5}}},
    };
    for (const Case& c : cases) {
        std::size_t n = 0;
        for (const Group& f : c.factors) {
            n += f.size();
        }
        GraphState s = create(n);
        state_vector::State ref(n);
        run(s, ref, c.circuit);
        ASSERT_EQ(check_invariants(s), "") << c.circuit;
        EXPECT_TRUE(state_vector::equal_up_to_phase(ref.amp, state_vector::expand(s).amp))
            << c.circuit;
        for (const Group& f : c.factors) {
            for (Qubit q : f) {
                Group g = entangled_group(s, q);
                std::ranges::sort(g);
                EXPECT_EQ(g, f) << c.circuit << " qubit " << q;
            }
        }
    }
}

// Measures q along `axis` on two copies of a state, with outcome bits 0 and
// 1 scripted (the other bits of the word set, as only the top one may
// count). Each time: `draws` words are drawn, the state is the projection
// onto the outcome, q ends isolated and measuring it again repeats the
// outcome without a draw. Returns the two outcomes.
template <class Make>
std::array<std::uint8_t, 2> measure_twice(const Make& make, Qubit q, AxisCode axis,
                                          std::size_t draws) {
    std::array<std::uint8_t, 2> outcomes{};
    for (unsigned r : {0u, 1u}) {
        GraphState s = make();
        state_vector::State ref = state_vector::expand(s);
        ScriptedRng rng{{ScriptedRng::bit_word(r) | 0x7FFFFFFFu}};
        outcomes[r] = measure(s, q, axis, rng);
        EXPECT_EQ(rng.drawn, draws) << "axis " << int(axis);
        EXPECT_NEAR(ref.project(q, axis, outcomes[r]), draws ? 0.5 : 1.0, state_vector::kTol);
        EXPECT_EQ(check_invariants(s), "");
        EXPECT_EQ(s.node(q).degree, 0u);
        EXPECT_TRUE(state_vector::equal_up_to_phase(ref.amp, state_vector::expand(s).amp))
            << "axis " << int(axis) << " bit " << r;
        ScriptedRng none;
        EXPECT_EQ(measure(s, q, axis, none), outcomes[r]);
    }
    return outcomes;
}

// A random outcome follows the top bit of the word drawn for it.
TEST_P(Examples, MeasurementOnWorkedGraphs) {
    const Edges x_graph = {{0, 1}, {0, 2}, {1, 3}, {1, 2}};
    const Edges yz_graph = {{0, 1}, {0, 2}, {0, 3}, {1, 2}};
    for (AxisCode axis : {kAxisX, kAxisY, kAxisZ}) {
        const auto make = [&] {
            return build_state(4, axis == kAxisX ? x_graph : yz_graph, {0, 0, 0, 0});
        };
        const auto outcomes = measure_twice(make, 0, axis, 1);
        EXPECT_NE(outcomes[0], outcomes[1]) << "axis " << int(axis);
    }
}

// Single qubits prepared in an eigenstate of `axis` with eigenvalue
// (-1)^outcome.
struct Eigenstate {
    std::string prep;
    AxisCode axis;
    std::uint8_t outcome;
};
const std::vector<Eigenstate> kEigenstates = {
    {"", kAxisZ, 0},         {"x0", kAxisZ, 1},          {"s0", kAxisZ, 0},
    {"x0 s0", kAxisZ, 1},    {"h0", kAxisX, 0},          {"h0 z0", kAxisX, 1},
    {"s0 h0", kAxisX, 0},    {"x0 s0 h0", kAxisX, 1},    {"h0 s0", kAxisY, 0},
    {"h0 sdag0", kAxisY, 1}, {"h0 sdag0 h0", kAxisY, 0}, {"h0 s0 h0", kAxisY, 1},
};

// Along its own axis the outcome is certain and costs no word; along the
// two others it is random and costs one.
TEST_P(Examples, IsolatedQubitMeasurements) {
    for (const Eigenstate& e : kEigenstates) {
        for (AxisCode axis : {kAxisX, kAxisY, kAxisZ}) {
            SCOPED_TRACE(e.prep);
            const auto make = [&] { return prepared(1, e.prep); };
            const auto outcomes = measure_twice(make, 0, axis, axis == e.axis ? 0 : 1);
            if (axis == e.axis) {
                EXPECT_EQ(outcomes[0], e.outcome);
                EXPECT_EQ(outcomes[1], e.outcome);
            } else {
                EXPECT_NE(outcomes[0], outcomes[1]) << "axis " << int(axis);
            }
        }
    }
}

// Outcomes of Pauli measurements in sequence have the parity of the
// stabiliser they multiply to: for the Bell pair XX = ZZ = +1, YY = -1; for
// GHZ XXX = +1, XYY = -1. Only the first outcome of each independent pair is
// random.
TEST_P(Examples, MeasurementCorrelations) {
    struct Case {
        std::string circuit;
        std::vector<std::pair<Qubit, AxisCode>> measured;
        unsigned parity, draws;
    };
    const std::vector<Case> cases = {
        {"h0 cx01", {{0, kAxisZ}, {1, kAxisZ}}, 0, 1},
        {"h0 cx01", {{1, kAxisX}, {0, kAxisX}}, 0, 1},
        {"h0 cx01", {{0, kAxisY}, {1, kAxisY}}, 1, 1},
        {"h0 cx01 cx12", {{2, kAxisZ}, {0, kAxisZ}}, 0, 1},
        {"h0 cx01 cx12", {{0, kAxisX}, {1, kAxisX}, {2, kAxisX}}, 0, 2},
        {"h0 cx01 cx12", {{0, kAxisX}, {1, kAxisY}, {2, kAxisY}}, 1, 2},
    };
    for (const Case& c : cases) {
        for (unsigned bits = 0; bits < 4; ++bits) {
            GraphState s = prepared(3, c.circuit);
            ScriptedRng rng{{ScriptedRng::bit_word(bits & 1), ScriptedRng::bit_word(bits >> 1)}};
            unsigned parity = 0;
            for (auto [q, axis] : c.measured) {
                parity ^= measure(s, q, axis, rng);
            }
            EXPECT_EQ(parity, c.parity) << c.circuit << " bits " << bits;
            EXPECT_EQ(rng.drawn, c.draws) << c.circuit;
        }
    }
}

// An isolated qubit gets the one axis whose outcome is certain.
TEST_P(Examples, PreviewOfIsolatedQubitsDrawsNothing) {
    ScriptedRng none;
    EXPECT_TRUE(peek_measure_set(create(3), {}, none).empty());
    for (const Eigenstate& e : kEigenstates) {
        const GraphState s = prepared(1, e.prep);
        const Snapshot before = snapshot(s);
        const auto records = peek_measure_set(s, {0}, none);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].qubit, 0u);
        EXPECT_EQ(records[0].axis, e.axis) << e.prep;
        EXPECT_EQ(records[0].result, e.outcome) << e.prep;
        EXPECT_EQ(snapshot(s), before);
    }
    EXPECT_EQ(none.drawn, 0u);
}

// Bell pair: the first previewed qubit gets the scripted axis and a random
// outcome; the second, isolated on the copy, gets the same axis and the
// correlated outcome without a draw. The state itself stays as it was.
TEST_P(Examples, PreviewOfBellPair) {
    const GraphState s = prepared(2, "h0 cx01");
    const Snapshot before = snapshot(s);
    const std::pair<std::uint32_t, AxisCode> words[] = {
        {0u, kAxisX}, {0x55555556u, kAxisY}, {0xAAAAAAABu, kAxisZ}};
    for (const auto& [word, axis] : words) {
        std::uint8_t first[2];
        for (unsigned r : {0u, 1u}) {
            ScriptedRng rng{{word, ScriptedRng::bit_word(r)}};
            const auto records = peek_measure_set(s, {1, 0}, rng);
            EXPECT_EQ(rng.drawn, 2u);
            ASSERT_EQ(records.size(), 2u);
            EXPECT_EQ(records[0].qubit, 1u);
            EXPECT_EQ(records[1].qubit, 0u);
            EXPECT_EQ(records[0].axis, axis);
            EXPECT_EQ(records[1].axis, axis);
            EXPECT_EQ(records[1].result, records[0].result ^ (axis == kAxisY ? 1 : 0));
            first[r] = records[0].result;
            EXPECT_EQ(snapshot(s), before);
        }
        EXPECT_NE(first[0], first[1]) << "axis " << int(axis);
    }
}

INSTANTIATE_TEST_SUITE_P(Store, Examples, ::testing::ValuesIn(limit_sets()), limits_name);

}  // namespace
