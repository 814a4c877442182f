// Hand-worked examples for the store, the gates, the reductions, cz,
// measurement, the preview and the entanglement query, with exact neighbour
// lists, vertex operators, outcomes and numbers of random words drawn.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <sstream>
#include <string>
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
using Edges = std::vector<std::pair<std::size_t, std::size_t>>;

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

std::string same_qubit(std::size_t q) {
    return "control and target must be different qubits, got " + std::to_string(q) + " for both";
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
Lumora graph(std::size_t n, const Edges& edges) {
    Lumora s = create(n);
    for (Node& node : s.nodes) {
        node.vop = kLcIdentity;
    }
    for (auto [a, b] : edges) {
        add_edge(s, a, b);
    }
    return s;
}

const std::map<std::string, TwoQubitGate> kTwoQubit = {
    {"cz", TwoQubitGate::cz},   {"cx", TwoQubitGate::cx},   {"cy", TwoQubitGate::cy},
    {"xcx", TwoQubitGate::xcx}, {"xcy", TwoQubitGate::xcy}, {"xcz", TwoQubitGate::xcz},
    {"ycx", TwoQubitGate::ycx}, {"ycy", TwoQubitGate::ycy}, {"ycz", TwoQubitGate::ycz}};

// Runs a circuit written as "h0 s0 cx01": a gate name, then its qubits.
void run(Lumora& s, const std::string& circuit) {
    static const std::map<std::string, LcOp> single = {{"x", kLcX}, {"y", kLcY}, {"z", kLcZ},
                                                       {"h", kLcH}, {"s", kLcS}, {"sdag", kLcSdag}};
    std::istringstream in(circuit);
    for (std::string t; in >> t;) {
        const std::size_t d = t.find_first_of("0123456789");
        const std::size_t a = t[d] - '0';
        if (d + 1 == t.size()) {
            apply_gate(s, a, single.at(t.substr(0, d)));
        } else {
            apply_two_qubit_gate(s, kTwoQubit.at(t.substr(0, d)), a, t[d + 1] - '0');
        }
    }
}

TEST(StoreExamples, ListOrderRules) {
    using Primitive = void (*)(Lumora&, std::size_t, std::size_t);
    const Primitive add = add_edge<Lumora>, remove = remove_edge<Lumora>,
                    toggle = toggle_edge<Lumora>;
    struct Case {
        Primitive op;
        std::size_t a, b;
        Lists after;
    };
    const std::vector<Case> cases = {
        {add, 0, 1, {{1}, {0}, {}, {}, {}}},
        {add, 0, 2, {{1, 2}, {0}, {0}, {}, {}}},
        {add, 0, 3, {{1, 2, 3}, {0}, {0}, {0}, {}}},
        {remove, 0, 2, {{1, 3}, {0}, {}, {0}, {}}},
        {toggle, 0, 4, {{1, 3, 4}, {0}, {}, {0}, {0}}},
        {toggle, 0, 4, {{1, 3}, {0}, {}, {0}, {}}},
        {remove, 1, 4, {{1, 3}, {0}, {}, {0}, {}}},
        {toggle, 2, 0, {{1, 3, 2}, {0}, {0}, {0}, {}}},
        {toggle, 3, 0, {{1, 2}, {0}, {0}, {}, {}}},
        {remove, 1, 0, {{2}, {}, {0}, {}, {}}},
    };
    Lumora s = create(5);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        cases[i].op(s, cases[i].a, cases[i].b);
        EXPECT_EQ(lists_of(s), cases[i].after) << "step " << i;
        EXPECT_EQ(check_invariants(s), "") << "step " << i;
    }
    EXPECT_TRUE(has_edge(s, 2, 0));
    EXPECT_FALSE(has_edge(s, 0, 1));

    // Presence is judged on the first list alone.
    Lumora t = create(3);
    t.nodes[0].neighbors.push_back(1);
    t.nodes[0].neighbors.push_back(2);
    EXPECT_TRUE(has_edge(t, 0, 1));
    EXPECT_FALSE(has_edge(t, 1, 0));
    toggle_edge(t, 1, 0);  // 1's list lacks 0: strip 1 from 0's list, then append both
    EXPECT_EQ(lists_of(t), (Lists{{2, 1}, {0}, {}}));
}

TEST(StoreExamples, CreateAndCopy) {
    Lumora empty = create(0);
    EXPECT_EQ(empty.size(), 0u);
    ScriptedRng none;
    EXPECT_EQ(message_of<EngineFailure>([&] { apply_gate(empty, 0, kLcH); }), oob(0, 0));
    EXPECT_EQ(message_of<EngineFailure>([&] { measure(empty, 0, kAxisZ, none); }), oob(0, 0));
    EXPECT_EQ(message_of<EngineFailure>([&] { cz(empty, 0, 1); }), oob(0, 0));
    const Lumora fresh = create(3);
    EXPECT_EQ(vops_of(fresh), (Vops{10, 10, 10}));
    EXPECT_EQ(lists_of(fresh), Lists(3));
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

TEST(GateExamples, SingleQubitGatesOnAFreshQubit) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"h0", 0},     {"h0 h0", 10}, {"x0", 9},        {"y0", 8},     {"z0", 11},   {"s0", 20},
        {"sdag0", 21}, {"s0 s0", 11}, {"s0 sdag0", 10}, {"x0 x0", 10}, {"h0 s0", 6},
    };
    for (const auto& [circuit, vop] : cases) {
        Lumora s = create(1);
        run(s, circuit);
        EXPECT_EQ(s.nodes[0].vop, vop) << circuit;
    }
    Lumora s = create(1);
    EXPECT_EQ(message_of<EngineFailure>([&] { run(s, "h1"); }), oob(1, 1));
    EXPECT_EQ(s.nodes[0].vop, 10);
    Lumora g = graph(3, {{0, 1}, {2, 1}});
    run(g, "x1 y1 z1 h1 s1 sdag1");
    EXPECT_EQ(lists_of(g), (Lists{{1}, {0, 2}, {1}}));
}

TEST(ReductionExamples, WorkedCases) {
    struct Case {
        const char* name;
        Edges edges;
        LcOp vop0;
        std::size_t avoid;
        Lists lists;
        Vops vops;
    };
    const Edges star = {{0, 1}, {0, 2}, {0, 3}};
    const std::vector<Case> cases = {
        {"star 15", star, 15, 1, {{1, 2, 3}, {0, 2, 3}, {0, 1, 3}, {0, 1, 2}}, {0, 6, 6, 6}},
        {"star 5", star, 5, 1, {{1, 2, 3}, {0}, {0}, {0}}, {0, 0, 14, 0}},
        {"triangle", {{1, 2}, {0, 1}, {2, 0}}, 0, 1, {{1, 2}, {0, 2}, {0, 1}}, {0, 0, 0}},
        {"avoid first", {{0, 1}, {0, 2}}, 5, 1, {{1, 2}, {0}, {0}}, {0, 0, 14}},
        {"avoid second", {{0, 1}, {0, 2}}, 5, 2, {{1, 2}, {0}, {0}}, {0, 14, 0}},
    };
    for (const Case& c : cases) {
        Lumora s = graph(c.vops.size(), c.edges);
        s.nodes[0].vop = c.vop0;
        remove_vop(s, 0, c.avoid);
        EXPECT_EQ(lists_of(s), c.lists) << c.name;
        EXPECT_EQ(vops_of(s), c.vops) << c.name;
        EXPECT_EQ(check_invariants(s), "") << c.name;
    }
}

TEST(GateExamples, ControlledGateWorkedCases) {
    struct Case {
        std::size_t n;
        std::string circuit;
        Lists lists;
        Vops vops;
    };
    const std::vector<Case> cases = {
        {2, "cz01", {{}, {}}, {10, 10}},
        {2, "h0 h1 cz01", {{1}, {0}}, {0, 0}},
        {2, "h0 h1 cz01 cz01", {{}, {}}, {0, 0}},
        {2, "h0 h1 cz01 h1 cz01", {{1}, {0}}, {5, 21}},
        {3, "h0 h1 h2 cz01 cz02 h0 s0 h0 h1 cz01", {{}, {2}, {1}}, {5, 0, 14}},
        {3, "h0 h1 h2 cz01 cz02 cz12", {{1, 2}, {0, 2}, {0, 1}}, {0, 0, 0}},
        {2, "cx01", {{}, {}}, {10, 10}},
        {2, "h0 cx01", {{1}, {0}}, {0, 10}},
        {3, "h0 cx01 cx12", {{1}, {0, 2}, {1}}, {10, 0, 10}},
        {2, "ycy01", {{1}, {0}}, {20, 20}},
    };
    for (const Case& c : cases) {
        Lumora s = create(c.n);
        run(s, c.circuit);
        EXPECT_EQ(lists_of(s), c.lists) << c.circuit;
        EXPECT_EQ(vops_of(s), c.vops) << c.circuit;
        EXPECT_EQ(check_invariants(s), "") << c.circuit;
    }
}

TEST(GateExamples, BadIndexChangesNothingAndNamesTheFirstTestedIndex) {
    // The gates whose first index test looks at the target.
    const std::vector<std::string> target_first = {"cx", "cy", "xcy", "ycy"};
    Lumora s = create(3);
    run(s, "h0 cx01 s2 x1");
    const Lists lists = lists_of(s);
    const Vops vops = vops_of(s);
    for (const auto& [name, gate] : kTwoQubit) {
        const bool tf = std::ranges::count(target_first, name) == 1;
        const std::vector<std::array<std::size_t, 3>> calls = {
            {5, 0, 5}, {0, 5, 5}, {5, 7, tf ? 7u : 5u}};  // control, target, reported
        for (const auto& [control, target, reported] : calls) {
            EXPECT_EQ(
                message_of<EngineFailure>([&] { apply_two_qubit_gate(s, gate, control, target); }),
                oob(3, reported))
                << name << " " << control << "," << target;
            EXPECT_EQ(lists_of(s), lists) << name;
            EXPECT_EQ(vops_of(s), vops) << name;
        }
        for (std::size_t q : {1, 7}) {
            EXPECT_EQ(message_of<SameQubitError>([&] { apply_two_qubit_gate(s, gate, q, q); }),
                      same_qubit(q));
        }
    }
    EXPECT_EQ(message_of<EngineFailure>([&] { cz(s, 0, 3); }), oob(3, 3));
    EXPECT_EQ(message_of<SameQubitError>([&] { cz(s, 2, 2); }), same_qubit(2));
    EXPECT_EQ(lists_of(s), lists);
    EXPECT_EQ(vops_of(s), vops);
}

TEST(MeasureExamples, WorkedGraphCases) {
    const Edges x_graph = {{0, 1}, {0, 2}, {1, 3}, {1, 2}};
    const Edges yz_graph = {{0, 1}, {0, 2}, {0, 3}, {1, 2}};
    const Lists x_lists = {{}, {2}, {3, 1}, {2}};
    const Lists y_lists = {{}, {3}, {3}, {1, 2}};
    const Lists z_lists = {{}, {2}, {1}, {}};
    struct Case {
        AxisCode axis;
        unsigned r;
        Lists lists;
        Vops vops;
    };
    const std::vector<Case> cases = {
        {kAxisX, 0, x_lists, {0, 11, 0, 0}}, {kAxisX, 1, x_lists, {3, 9, 0, 3}},
        {kAxisY, 0, y_lists, {6, 6, 6, 6}},  {kAxisY, 1, y_lists, {5, 5, 5, 5}},
        {kAxisZ, 0, z_lists, {10, 0, 0, 0}}, {kAxisZ, 1, z_lists, {9, 3, 3, 3}},
    };
    for (const Case& c : cases) {
        Lumora s = graph(4, c.axis == kAxisX ? x_graph : yz_graph);
        ScriptedRng rng{{ScriptedRng::bit_word(c.r) | 1u}};  // only the top bit may count
        EXPECT_EQ(measure(s, 0, c.axis, rng), c.r) << int(c.axis) << c.r;
        EXPECT_EQ(rng.drawn, 1u);
        EXPECT_EQ(lists_of(s), c.lists) << int(c.axis) << c.r;
        EXPECT_EQ(vops_of(s), c.vops) << int(c.axis) << c.r;
        EXPECT_EQ(check_invariants(s), "");
    }
}

TEST(MeasureExamples, IsolatedQubitsAndDrawCounts) {
    Lumora s = create(3);
    ScriptedRng none;  // throws if anything is drawn
    for (std::size_t q = 0; q < 3; ++q) {
        EXPECT_EQ(measure(s, q, kAxisZ, none), 0);
    }
    EXPECT_EQ(vops_of(s), (Vops{10, 10, 10}));
    EXPECT_EQ(message_of<EngineFailure>([&] { measure(s, 3, kAxisX, none); }), oob(3, 3));

    // X and Y on a fresh qubit draw one word; measuring again repeats the
    // outcome for free.
    struct Case {
        AxisCode axis;
        unsigned r, outcome;
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
    EXPECT_EQ(message_of<EngineFailure>([&] { peek_measure_set(s, {0, 3}, none); }), oob(3, 3));

    // Bell pair (|00> + |11>)/sqrt2, XX = +1, YY = -1, ZZ = +1: the first
    // qubit gets the scripted axis; the second, isolated on the copy, gets
    // the same axis and the correlated outcome without drawing.
    run(s, "h0 cx01");
    const Lists lists = lists_of(s);
    const Vops vops = vops_of(s);
    for (const auto& [word, axis] : std::vector<std::pair<std::uint32_t, AxisCode>>{
             {0u, kAxisX}, {0x55555556u, kAxisY}, {0xAAAAAAABu, kAxisZ}}) {
        for (unsigned r : {0u, 1u}) {
            ScriptedRng rng{{word, ScriptedRng::bit_word(r)}};
            const auto records = peek_measure_set(s, {1, 0}, rng);
            EXPECT_EQ(rng.drawn, 2u);
            ASSERT_EQ(records.size(), 2u);
            const std::size_t first = records[0].qubit;
            EXPECT_EQ(first + records[1].qubit, 1u);
            EXPECT_EQ(records[0].axis, axis);
            // Qubit 1 carries H, which turns Y into -Y on the graph side.
            EXPECT_EQ(records[0].result, r ^ (axis == kAxisY && first == 1 ? 1u : 0u));
            EXPECT_EQ(records[1].axis, axis);
            EXPECT_EQ(records[1].result, records[0].result ^ (axis == kAxisY ? 1 : 0));
            EXPECT_EQ(lists_of(s), lists);
            EXPECT_EQ(vops_of(s), vops);
        }
    }
}

TEST(QueryExamples, EntangledGroup) {
    using V = std::vector<std::size_t>;
    auto group = [](const Lumora& s, std::size_t q) {
        V g = entangled_group(s, q);
        std::sort(g.begin(), g.end());
        return g;
    };
    Lumora s = create(3);
    EXPECT_EQ(group(s, 1), V{1});
    run(s, "h0 cx01");
    EXPECT_EQ(group(s, 0), (V{0, 1}));
    EXPECT_EQ(group(s, 1), (V{0, 1}));
    EXPECT_EQ(group(s, 2), V{2});
    ScriptedRng rng{{ScriptedRng::bit_word(1)}};
    EXPECT_EQ(measure(s, 0, kAxisZ, rng), 1);
    EXPECT_EQ(group(s, 0), V{0});
    EXPECT_EQ(group(s, 1), V{1});

    const Lumora path = graph(5, {{2, 3}, {0, 1}, {1, 2}});
    for (std::size_t q = 0; q < 4; ++q) {
        EXPECT_EQ(group(path, q), (V{0, 1, 2, 3})) << q;
    }
    EXPECT_EQ(group(path, 4), V{4});
    EXPECT_EQ(message_of<EngineFailure>([&] { entangled_group(create(2), 2); }), oob(2, 2));
    EXPECT_EQ(message_of<EngineFailure>([&] { entangled_group(create(0), 0); }), oob(0, 0));
}

}  // namespace
