// Hand-worked examples for the store, the gates, the reductions, cz,
// measurement, the preview and the entanglement query, with exact neighbour
// lists, vertex operators, outcomes and numbers of random words drawn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "engine/query.hpp"
#include "engine/reduction.hpp"
#include "scripted_rng.hpp"

namespace {

using namespace lumora;
using Lists = std::vector<std::vector<std::size_t>>;
using Vops = std::vector<int>;
using G2 = TwoQubitGate;

Lists lists_of(const Lumora& s) {
    Lists out;
    for (const Node& n : s.nodes) {
        out.emplace_back(n.neighbors.begin(), n.neighbors.end());
    }
    return out;
}

Vops vops_of(const Lumora& s) {
    Vops out;
    for (const Node& n : s.nodes) {
        out.push_back(n.vop);
    }
    return out;
}

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

// A record with every vop 0 and the edges added in the given order.
Lumora graph(std::size_t n, const std::vector<std::pair<std::size_t, std::size_t>>& edges) {
    Lumora s = create(n);
    for (Node& node : s.nodes) {
        node.vop = kLcIdentity;
    }
    for (auto [a, b] : edges) {
        add_edge(s, a, b);
    }
    return s;
}

// A single-qubit gate on `a`, or a two-qubit gate on (a, b).
struct Step {
    std::variant<LcOp, G2> gate;
    std::size_t a;
    std::size_t b = 0;
};

void run(Lumora& s, const std::vector<Step>& steps) {
    for (const Step& st : steps) {
        if (const LcOp* g = std::get_if<LcOp>(&st.gate)) {
            apply_gate(s, st.a, *g);
        } else {
            apply_two_qubit_gate(s, std::get<G2>(st.gate), st.a, st.b);
        }
    }
}

TEST(StoreExamples, ListOrderRules) {
    enum Op { kAdd, kRemove, kToggle };
    struct Case {
        Op op;
        std::size_t a, b;
        Lists after;
    };
    const std::vector<Case> cases = {
        {kAdd, 0, 1, {{1}, {0}, {}, {}, {}}},
        {kAdd, 0, 2, {{1, 2}, {0}, {0}, {}, {}}},
        {kAdd, 0, 3, {{1, 2, 3}, {0}, {0}, {0}, {}}},
        {kRemove, 0, 2, {{1, 3}, {0}, {}, {0}, {}}},
        {kToggle, 0, 4, {{1, 3, 4}, {0}, {}, {0}, {0}}},
        {kToggle, 0, 4, {{1, 3}, {0}, {}, {0}, {}}},
        {kRemove, 1, 4, {{1, 3}, {0}, {}, {0}, {}}},
        {kToggle, 2, 0, {{1, 3, 2}, {0}, {0}, {0}, {}}},
        {kToggle, 3, 0, {{1, 2}, {0}, {0}, {}, {}}},
        {kRemove, 1, 0, {{2}, {}, {0}, {}, {}}},
    };
    Lumora s = create(5);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        if (c.op == kAdd) {
            add_edge(s, c.a, c.b);
        } else if (c.op == kRemove) {
            remove_edge(s, c.a, c.b);
        } else {
            toggle_edge(s, c.a, c.b);
        }
        EXPECT_EQ(lists_of(s), c.after) << "step " << i;
        EXPECT_EQ(check_invariants(s), "") << "step " << i;
    }
    EXPECT_TRUE(has_edge(s, 0, 2));
    EXPECT_TRUE(has_edge(s, 2, 0));
    EXPECT_FALSE(has_edge(s, 0, 1));
}

TEST(StoreExamples, PresenceIsJudgedOnTheFirstList) {
    Lumora s = create(3);
    s.nodes[0].neighbors.push_back(1);  // one-sided on purpose
    EXPECT_TRUE(has_edge(s, 0, 1));
    EXPECT_FALSE(has_edge(s, 1, 0));
    s.nodes[0].neighbors.push_back(2);
    toggle_edge(s, 1, 0);  // absent from 1's list: strip 1 from 0's list, then append both
    EXPECT_EQ(lists_of(s), (Lists{{2, 1}, {0}, {}}));
}

TEST(StoreExamples, ListsGrowByDoublingFromFour) {
    Lumora s = create(10);
    const std::vector<std::size_t> expected = {4, 4, 4, 4, 8, 8, 8, 8, 16};
    for (std::size_t k = 0; k < expected.size(); ++k) {
        add_edge(s, 0, k + 1);
        EXPECT_EQ(s.nodes[0].neighbors.capacity(), expected[k]) << k;
    }
}

TEST(StoreExamples, CreateAndCopy) {
    EXPECT_EQ(create(0).size(), 0u);
    const Lumora fresh = create(3);
    EXPECT_EQ(vops_of(fresh), (Vops{10, 10, 10}));
    for (const Node& n : fresh.nodes) {
        EXPECT_EQ(n.neighbors.capacity(), 0u);
    }
    for (std::size_t n :
         {std::numeric_limits<std::size_t>::max(), std::numeric_limits<std::size_t>::max() / 2}) {
        EXPECT_EQ(message_of<EngineFailure>([&] { create(n); }), "capacity overflow");
    }

    Lumora s = graph(4, {{0, 3}, {0, 1}, {2, 1}, {3, 2}});
    s.nodes[2].vop = 17;
    const Lists before = lists_of(s);
    Lumora c = s;
    EXPECT_EQ(lists_of(c), before);
    EXPECT_EQ(vops_of(c), vops_of(s));
    for (const Node& n : c.nodes) {
        EXPECT_EQ(n.neighbors.capacity(), n.neighbors.size());
    }
    toggle_edge(c, 0, 2);
    remove_edge(c, 1, 0);
    c.nodes[2].vop = 3;
    EXPECT_EQ(lists_of(s), before);
    EXPECT_EQ(vops_of(s), (Vops{0, 0, 17, 0}));
}

TEST(StoreExamples, EmptyRecordRejectsEveryQubit) {
    Lumora s = create(0);
    ScriptedRng rng;
    const std::string m = oob(0, 0);
    EXPECT_EQ(message_of<EngineFailure>([&] { apply_gate(s, 0, kLcH); }), m);
    EXPECT_EQ(message_of<EngineFailure>([&] { measure(s, 0, kAxisZ, rng); }), m);
    EXPECT_EQ(message_of<EngineFailure>([&] { entangled_group(s, 0); }), m);
    EXPECT_EQ(message_of<EngineFailure>([&] { cz(s, 0, 1); }), m);
    EXPECT_EQ(rng.drawn, 0u);
}

TEST(GateExamples, SingleQubitGatesOnAFreshQubit) {
    const LcOp x = kLcX, y = kLcY, z = kLcZ, h = kLcH, s = kLcS, sd = kLcSdag;
    const std::vector<std::pair<std::vector<LcOp>, int>> cases = {
        {{h}, 0},   {{h, h}, 10}, {{x}, 9},      {{y}, 8},     {{z}, 11},   {{s}, 20},
        {{sd}, 21}, {{s, s}, 11}, {{s, sd}, 10}, {{x, x}, 10}, {{h, s}, 6},
    };
    for (const auto& [gates, vop] : cases) {
        Lumora st = create(1);
        for (LcOp g : gates) {
            apply_gate(st, 0, g);
        }
        EXPECT_EQ(st.nodes[0].vop, vop) << "first gate " << int(gates[0]);
    }
    Lumora st = create(1);
    EXPECT_EQ(message_of<EngineFailure>([&] { apply_gate(st, 1, kLcH); }), oob(1, 1));
    EXPECT_EQ(st.nodes[0].vop, 10);

    Lumora g = graph(3, {{0, 1}, {2, 1}});
    for (LcOp op : {x, y, z, h, s, sd}) {
        apply_gate(g, 1, op);
    }
    EXPECT_EQ(lists_of(g), (Lists{{1}, {0, 2}, {1}}));
}

TEST(ReductionExamples, WorkedCases) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::size_t, std::size_t>> edges;
        int vop0;
        std::size_t avoid;
        Lists lists;
        Vops vops;
    };
    const std::vector<Case> cases = {
        {"star, vop 15",
         {{0, 1}, {0, 2}, {0, 3}},
         15,
         1,
         {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}},
         {0, 6, 6, 6}},
        {"star, vop 5", {{0, 1}, {0, 2}, {0, 3}}, 5, 1, {{1, 2, 3}, {0}, {0}, {0}}, {0, 0, 14, 0}},
        {"triangle", {{1, 2}, {0, 1}, {2, 0}}, 0, 1, {{1, 2}, {0, 2}, {0, 1}}, {0, 0, 0}},
        {"avoid first entry", {{0, 1}, {0, 2}}, 5, 1, {{1, 2}, {0}, {0}}, {0, 0, 14}},
        {"avoid second entry", {{0, 1}, {0, 2}}, 5, 2, {{1, 2}, {0}, {0}}, {0, 14, 0}},
    };
    for (const Case& c : cases) {
        Lumora s = graph(c.vops.size(), c.edges);
        s.nodes[0].vop = static_cast<LcOp>(c.vop0);
        remove_vop(s, 0, c.avoid);
        EXPECT_EQ(lists_of(s), c.lists) << c.name;
        EXPECT_EQ(vops_of(s), c.vops) << c.name;
        EXPECT_EQ(check_invariants(s), "") << c.name;
    }
}

TEST(GateExamples, ControlledGateWorkedCases) {
    const LcOp h = kLcH, s = kLcS;
    struct Case {
        const char* name;
        std::size_t n;
        std::vector<Step> steps;
        Lists lists;
        Vops vops;
    };
    const std::vector<Case> cases = {
        {"cz fresh", 2, {{G2::cz, 0, 1}}, {{}, {}}, {10, 10}},
        {"cz after h h", 2, {{h, 0}, {h, 1}, {G2::cz, 0, 1}}, {{1}, {0}}, {0, 0}},
        {"cz twice", 2, {{h, 0}, {h, 1}, {G2::cz, 0, 1}, {G2::cz, 0, 1}}, {{}, {}}, {0, 0}},
        {"cz keeps edge",
         2,
         {{h, 0}, {h, 1}, {G2::cz, 0, 1}, {h, 1}, {G2::cz, 0, 1}},
         {{1}, {0}},
         {5, 21}},
        {"cz reduces b after a",
         3,
         {{h, 0},
          {h, 1},
          {h, 2},
          {G2::cz, 0, 1},
          {G2::cz, 0, 2},
          {h, 0},
          {s, 0},
          {h, 0},
          {h, 1},
          {G2::cz, 0, 1}},
         {{}, {2}, {1}},
         {5, 0, 14}},
        {"cz triangle",
         3,
         {{h, 0}, {h, 1}, {h, 2}, {G2::cz, 0, 1}, {G2::cz, 0, 2}, {G2::cz, 1, 2}},
         {{1, 2}, {0, 2}, {0, 1}},
         {0, 0, 0}},
        {"cx fresh", 2, {{G2::cx, 0, 1}}, {{}, {}}, {10, 10}},
        {"bell", 2, {{h, 0}, {G2::cx, 0, 1}}, {{1}, {0}}, {0, 10}},
        {"ghz", 3, {{h, 0}, {G2::cx, 0, 1}, {G2::cx, 1, 2}}, {{1}, {0, 2}, {1}}, {10, 0, 10}},
        {"ycy fresh", 2, {{G2::ycy, 0, 1}}, {{1}, {0}}, {20, 20}},
    };
    for (const Case& c : cases) {
        Lumora st = create(c.n);
        run(st, c.steps);
        EXPECT_EQ(lists_of(st), c.lists) << c.name;
        EXPECT_EQ(vops_of(st), c.vops) << c.name;
        EXPECT_EQ(check_invariants(st), "") << c.name;
    }
}

TEST(GateExamples, BadIndexChangesNothingAndNamesTheFirstTestedIndex) {
    // For each gate: whether the first index test looks at the target.
    const std::vector<std::pair<G2, bool>> gates = {
        {G2::cz, false},  {G2::cx, true},   {G2::cy, true},  {G2::xcx, false}, {G2::xcy, true},
        {G2::xcz, false}, {G2::ycx, false}, {G2::ycy, true}, {G2::ycz, false},
    };
    Lumora s = create(3);
    run(s, {{kLcH, 0}, {G2::cx, 0, 1}, {kLcS, 2}, {kLcX, 1}});
    const Lists lists = lists_of(s);
    const Vops vops = vops_of(s);
    for (const auto& [gate, target_first] : gates) {
        const std::size_t both = target_first ? 7 : 5;
        const std::vector<std::pair<std::pair<std::size_t, std::size_t>, std::size_t>> calls = {
            {{5, 0}, 5}, {{0, 5}, 5}, {{5, 7}, both}};
        for (const auto& [args, reported] : calls) {
            EXPECT_EQ(message_of<EngineFailure>(
                          [&] { apply_two_qubit_gate(s, gate, args.first, args.second); }),
                      oob(3, reported))
                << int(gate) << " " << args.first << "," << args.second;
            EXPECT_EQ(lists_of(s), lists) << int(gate);
            EXPECT_EQ(vops_of(s), vops) << int(gate);
        }
        for (std::size_t q : {1, 7}) {
            EXPECT_EQ(message_of<SameQubitError>([&] { apply_two_qubit_gate(s, gate, q, q); }),
                      "control and target must be different qubits, got " + std::to_string(q) +
                          " for both");
        }
    }
    EXPECT_EQ(message_of<EngineFailure>([&] { cz(s, 3, 0); }), oob(3, 3));
    EXPECT_EQ(message_of<EngineFailure>([&] { cz(s, 0, 3); }), oob(3, 3));
    EXPECT_EQ(message_of<SameQubitError>([&] { cz(s, 2, 2); }),
              "control and target must be different qubits, got 2 for both");
    EXPECT_EQ(lists_of(s), lists);
    EXPECT_EQ(vops_of(s), vops);
}

TEST(MeasureExamples, WorkedGraphCases) {
    const std::vector<std::pair<std::size_t, std::size_t>> x_graph = {
        {0, 1}, {0, 2}, {1, 3}, {1, 2}};
    const std::vector<std::pair<std::size_t, std::size_t>> yz_graph = {
        {0, 1}, {0, 2}, {0, 3}, {1, 2}};
    struct Case {
        AxisCode axis;
        unsigned r;
        Lists lists;
        Vops vops;
    };
    const Lists x_lists = {{}, {2}, {3, 1}, {2}};
    const Lists y_lists = {{}, {3}, {3}, {1, 2}};
    const Lists z_lists = {{}, {2}, {1}, {}};
    const std::vector<Case> cases = {
        {kAxisX, 0, x_lists, {0, 11, 0, 0}}, {kAxisX, 1, x_lists, {3, 9, 0, 3}},
        {kAxisY, 0, y_lists, {6, 6, 6, 6}},  {kAxisY, 1, y_lists, {5, 5, 5, 5}},
        {kAxisZ, 0, z_lists, {10, 0, 0, 0}}, {kAxisZ, 1, z_lists, {9, 3, 3, 3}},
    };
    for (const Case& c : cases) {
        Lumora s = graph(4, c.axis == kAxisX ? x_graph : yz_graph);
        // A low-order bit set as well, so only the top bit can decide.
        ScriptedRng rng{{ScriptedRng::bit_word(c.r) | 1u}};
        EXPECT_EQ(measure(s, 0, c.axis, rng), c.r) << int(c.axis) << c.r;
        EXPECT_EQ(rng.drawn, 1u);
        EXPECT_EQ(lists_of(s), c.lists) << int(c.axis) << c.r;
        EXPECT_EQ(vops_of(s), c.vops) << int(c.axis) << c.r;
        EXPECT_EQ(check_invariants(s), "");
    }
}

TEST(MeasureExamples, IsolatedQubitsAndDrawCounts) {
    // A fresh |0>: Z is determined; every qubit of Lumora(3) gives +1 for free.
    Lumora s = create(3);
    ScriptedRng none;
    for (std::size_t q = 0; q < 3; ++q) {
        EXPECT_EQ(measure(s, q, kAxisZ, none), 0);
    }
    EXPECT_EQ(none.drawn, 0u);
    EXPECT_EQ(vops_of(s), (Vops{10, 10, 10}));
    EXPECT_EQ(message_of<EngineFailure>([&] { measure(s, 3, kAxisX, none); }), oob(3, 3));

    // X and Y on a fresh qubit draw one word; measuring again repeats the
    // outcome without drawing.
    struct Case {
        AxisCode axis;
        unsigned r;
        std::uint8_t outcome;
        int vop;
    };
    for (const Case& c : std::vector<Case>{
             {kAxisX, 0, 0, 0}, {kAxisX, 1, 1, 3}, {kAxisY, 0, 1, 19}, {kAxisY, 1, 0, 16}}) {
        Lumora q = create(1);
        ScriptedRng rng{{ScriptedRng::bit_word(c.r) | 0x7FFFFFFFu}};
        EXPECT_EQ(measure(q, 0, c.axis, rng), c.outcome) << int(c.axis) << c.r;
        EXPECT_EQ(rng.drawn, 1u);
        EXPECT_EQ(q.nodes[0].vop, c.vop);
        EXPECT_EQ(measure(q, 0, c.axis, none), c.outcome);
        EXPECT_EQ(q.nodes[0].vop, c.vop);
    }
    EXPECT_EQ(none.drawn, 0u);
}

TEST(PeekExamples, DrawsOnlyForQubitsWithNeighbours) {
    Lumora s = create(3);
    ScriptedRng none;
    EXPECT_TRUE(peek_measure_set(s, {}, none).empty());
    for (int round = 0; round < 3; ++round) {
        const auto records = peek_measure_set(s, {0, 1, 2}, none);
        ASSERT_EQ(records.size(), 3u);
        for (const PeekRecord& r : records) {
            EXPECT_EQ(r.result, 0);
            EXPECT_EQ(r.axis, kAxisZ);
        }
    }
    EXPECT_EQ(none.drawn, 0u);
    EXPECT_EQ(message_of<EngineFailure>([&] { peek_measure_set(s, {0, 3}, none); }), oob(3, 3));

    // Bell pair (|00> + |11>)/sqrt2: XX = +1, YY = -1, ZZ = +1. The first
    // qubit gets the scripted axis; the second, isolated on the copy, gets
    // the same axis and the correlated outcome without drawing.
    run(s, {{kLcH, 0}, {G2::cx, 0, 1}});
    const Lists lists = lists_of(s);
    const Vops vops = vops_of(s);
    const std::vector<std::pair<std::uint32_t, AxisCode>> axis_words = {
        {0u, kAxisX}, {0x55555556u, kAxisY}, {0xAAAAAAABu, kAxisZ}};
    for (const auto& [word, axis] : axis_words) {
        for (unsigned r : {0u, 1u}) {
            ScriptedRng rng{{word, ScriptedRng::bit_word(r)}};
            const auto records = peek_measure_set(s, {1, 0}, rng);
            EXPECT_EQ(rng.drawn, 2u);
            ASSERT_EQ(records.size(), 2u);
            const std::size_t first = records[0].qubit;
            EXPECT_EQ(first + records[1].qubit, 1u);
            EXPECT_EQ(records[0].axis, axis);
            // Qubit 0 carries the identity; qubit 1 carries H, which turns Y
            // into -Y on the graph side.
            EXPECT_EQ(records[0].result, r ^ (axis == kAxisY && first == 1 ? 1u : 0u));
            EXPECT_EQ(records[1].axis, axis);
            EXPECT_EQ(records[1].result, records[0].result ^ (axis == kAxisY ? 1 : 0));
            EXPECT_EQ(lists_of(s), lists);
            EXPECT_EQ(vops_of(s), vops);
        }
    }
}

TEST(QueryExamples, EntangledGroup) {
    auto group = [](const Lumora& s, std::size_t q) {
        std::vector<std::size_t> g = entangled_group(s, q);
        std::sort(g.begin(), g.end());
        return g;
    };
    using V = std::vector<std::size_t>;
    Lumora s = create(3);
    EXPECT_EQ(group(s, 1), V{1});
    run(s, {{kLcH, 0}, {G2::cx, 0, 1}});
    EXPECT_EQ(group(s, 0), (V{0, 1}));
    EXPECT_EQ(group(s, 1), (V{0, 1}));
    EXPECT_EQ(group(s, 2), V{2});
    ScriptedRng rng{{ScriptedRng::bit_word(1)}};
    EXPECT_EQ(measure(s, 0, kAxisZ, rng), 1);
    EXPECT_EQ(group(s, 0), V{0});
    EXPECT_EQ(group(s, 1), V{1});
    EXPECT_EQ(check_invariants(s), "");

    const Lumora path = graph(5, {{2, 3}, {0, 1}, {1, 2}});
    for (std::size_t q = 0; q < 4; ++q) {
        EXPECT_EQ(group(path, q), (V{0, 1, 2, 3})) << q;
    }
    EXPECT_EQ(group(path, 4), V{4});
    EXPECT_EQ(message_of<EngineFailure>([&] { entangled_group(create(2), 2); }), oob(2, 2));
    EXPECT_EQ(message_of<EngineFailure>([&] { entangled_group(create(0), 0); }), oob(0, 0));
}

}  // namespace
