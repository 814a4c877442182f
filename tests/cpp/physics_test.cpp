// The engine against the dense reference model: the constant tables against
// exact matrices, the graph rewrites against the states they represent, and
// random circuits with measurements against a state-vector simulation.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <sstream>

#include "clifford/cz_table.hpp"
#include "clifford/reduction_sequence.hpp"
#include "dense.hpp"
#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "engine/reduction.hpp"
#include "scripted_rng.hpp"

namespace {

using namespace lumora;
using dense::equal_up_to_phase;
using dense::lc_matrix;

bool same_nodes(const Lumora& a, const Lumora& b) {
    return std::ranges::equal(a.nodes, b.nodes, [](const Node& x, const Node& y) {
        return x.vop == y.vop && std::ranges::equal(x.neighbors, y.neighbors);
    });
}

std::vector<std::vector<bool>> adjacency(const Lumora& s) {
    std::vector<std::vector<bool>> m(s.size(), std::vector<bool>(s.size()));
    for (std::size_t a = 0; a < s.size(); ++a) {
        for (std::size_t b : s.nodes[a].neighbors) {
            m[a][b] = true;
        }
    }
    return m;
}

// A random graph with random vertex operators; `first` edges are added
// before the random ones, in the order given.
Lumora random_state(std::mt19937_64& gen, std::size_t n,
                    std::initializer_list<std::pair<std::size_t, std::size_t>> first = {}) {
    Lumora s = create(n);
    for (auto [a, b] : first) {
        add_edge(s, a, b);
    }
    for (std::size_t a = 0; a < n; ++a) {
        s.nodes[a].vop = static_cast<LcOp>(gen() % 24);
        for (std::size_t b = a + 1; b < n; ++b) {
            if (gen() % 2 && !has_edge(s, a, b)) {
                add_edge(s, a, b);
            }
        }
    }
    return s;
}

TEST(CliffordMatrices, NumberingMatchesKnownGates) {
    ASSERT_EQ(dense::clifford_group().size(), 24u);
    const std::vector<std::pair<LcOp, dense::Mat2>> known = {
        {0, dense::kId}, {1, dense::kPauli[0]}, {2, dense::kPauli[1]}, {3, dense::kPauli[2]},
        {10, dense::kH}, {6, dense::kS},        {5, dense::kSdag}};
    for (const auto& [j, m] : known) {
        EXPECT_TRUE(equal_up_to_phase(lc_matrix()[j], m)) << int(j);
    }
    const std::array<dense::SignedAxis, 3> sqrt_x{{{0, 0}, {2, 1}, {1, 0}}};
    EXPECT_EQ(dense::conj_action(lc_matrix()[14]), sqrt_x);
}

TEST(CliffordTables, AgreeWithMatrices) {
    const auto& m = lc_matrix();
    for (int a = 0; a < 24; ++a) {
        for (int b = 0; b < 24; ++b) {
            EXPECT_TRUE(equal_up_to_phase(m[lc_mul[a][b]], dense::mul(m[a], m[b])))
                << a << "." << b;
        }
        EXPECT_TRUE(equal_up_to_phase(dense::mul(m[a], m[lc_inv[a]]), dense::kId)) << a;
        const auto act = dense::conj_action(m[a]);
        for (AxisCode axis = 0; axis < 3; ++axis) {
            const dense::SignedAxis table{lc_conj_axis[axis][a], lc_conj_sign(LcOp(a), axis)};
            EXPECT_EQ(act[axis], table) << "operator " << a << " axis " << int(axis);
        }
        EXPECT_EQ(act[lc_axis_onto_x[a]].axis, 0) << a;
        EXPECT_EQ(lc_is_diagonal(LcOp(a)), act[2] == (dense::SignedAxis{2, 0})) << a;
    }
}

TEST(CliffordTables, GroupAxioms) {
    std::array<LcOp, 24> all{};
    std::iota(all.begin(), all.end(), LcOp{0});
    for (int a = 0; a < 24; ++a) {
        std::array<LcOp, 24> col{};
        for (int b = 0; b < 24; ++b) {
            col[b] = lc_mul[b][a];
            for (int c = 0; c < 24; ++c) {
                ASSERT_EQ(lc_mul[lc_mul[a][b]][c], lc_mul[a][lc_mul[b][c]]) << a << b << c;
            }
        }
        EXPECT_EQ(lc_mul[a][0], a);
        EXPECT_EQ(lc_mul[0][a], a);
        EXPECT_TRUE(std::ranges::is_permutation(lc_mul[a], all)) << "row " << a;
        EXPECT_TRUE(std::ranges::is_permutation(col, all)) << "column " << a;
    }
}

TEST(Reduction, SequencesReachIdentity) {
    for (int w = 0; w < 24; ++w) {
        const ReductionSequence& seq = vop_reduction_seq[w];
        ASSERT_GE(seq.length, 1);
        ASSERT_LE(seq.length, 5);
        LcOp v = LcOp(w);
        dense::Mat2 m = lc_matrix()[w];
        for (int k = 0; k < seq.length; ++k) {
            ASSERT_LE(seq.steps[k], 1);
            const LcOp factor = seq.steps[k] == kStepAtVertex ? kLcSqrtX : kLcS;
            v = lc_mul[v][factor];
            m = dense::mul(m, lc_matrix()[factor]);
        }
        EXPECT_EQ(v, 0) << w;
        EXPECT_TRUE(equal_up_to_phase(m, dense::kId)) << w;
    }
}

TEST(Reduction, LocalComplementKeepsState) {
    std::mt19937_64 gen(7);
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 1 + gen() % 6, u = gen() % n;
        Lumora s = random_state(gen, n);
        const dense::State before = dense::expand(s);
        auto expected = adjacency(s);
        for (std::size_t a = 0; a < n; ++a) {
            for (std::size_t b = 0; b < n; ++b) {
                if (a != b && expected[u][a] && expected[u][b]) {
                    expected[a][b] = !expected[a][b];
                }
            }
        }
        local_complement(s, u);
        ASSERT_EQ(check_invariants(s), "");
        EXPECT_EQ(adjacency(s), expected) << "trial " << trial;
        EXPECT_TRUE(equal_up_to_phase(before.amp, dense::expand(s).amp)) << "trial " << trial;
    }
}

TEST(Reduction, RemoveVopKeepsStateAndAvoidsPartner) {
    std::mt19937_64 gen(11);
    for (int trial = 0; trial < 600; ++trial) {
        const std::size_t n = 3 + gen() % 4, v = gen() % n, avoid = (v + 1 + gen() % (n - 1)) % n;
        std::size_t other = gen() % n;
        while (other == v || other == avoid) {
            other = (other + 1) % n;
        }
        // Half the time the avoided qubit is v's first neighbour.
        Lumora s = trial % 2 ? random_state(gen, n, {{v, avoid}, {v, other}})
                             : random_state(gen, n, {{v, other}});
        s.nodes[v].vop = LcOp(trial % 24);
        const LcOp avoid_vop = s.nodes[avoid].vop;
        const std::size_t partner =
            *std::ranges::find_if(s.nodes[v].neighbors, [&](std::size_t w) { return w != avoid; });
        Lumora mirror = s;
        const ReductionSequence& seq = vop_reduction_seq[s.nodes[v].vop];
        for (int k = 0; k < seq.length; ++k) {
            local_complement(mirror, seq.steps[k] == kStepAtVertex ? v : partner);
        }
        const dense::State before = dense::expand(s);
        remove_vop(s, v, avoid);
        ASSERT_EQ(check_invariants(s), "");
        EXPECT_EQ(s.nodes[v].vop, 0) << "trial " << trial;
        EXPECT_TRUE(equal_up_to_phase(before.amp, dense::expand(s).amp)) << "trial " << trial;
        EXPECT_TRUE(same_nodes(s, mirror)) << "trial " << trial;
        // Complementations at v and the partner change `avoid` by factors s only.
        EXPECT_TRUE(lc_is_diagonal(lc_mul[lc_inv[avoid_vop]][s.nodes[avoid].vop])) << trial;
    }
}

TEST(CzTable, EveryEntryIsAControlledZ) {
    for (int edge = 0; edge < 2; ++edge) {
        for (int va = 0; va < 24; ++va) {
            for (int vb = 0; vb < 24; ++vb) {
                const CzEntry& e = cz_table[edge][va][vb];
                ASSERT_TRUE(e.edge <= 1 && e.vop_a < 24 && e.vop_b < 24);
                // Two qubits with no other neighbours: (va x vb) on the pair's graph state.
                auto pair_state = [](int joined, int a, int b) {
                    Lumora s = create(2);
                    if (joined) {
                        add_edge(s, 0, 1);
                    }
                    s.nodes[0].vop = LcOp(a);
                    s.nodes[1].vop = LcOp(b);
                    return dense::expand(s);
                };
                dense::State ref = pair_state(edge, va, vb);
                ref.cz(0, 1);
                EXPECT_TRUE(equal_up_to_phase(ref.amp, pair_state(e.edge, e.vop_a, e.vop_b).amp))
                    << edge << "/" << va << "/" << vb;
                EXPECT_TRUE(!lc_is_diagonal(LcOp(va)) || lc_is_diagonal(e.vop_a))
                    << edge << va << vb;
                EXPECT_TRUE(!lc_is_diagonal(LcOp(vb)) || lc_is_diagonal(e.vop_b))
                    << edge << va << vb;
            }
        }
    }
}

// Control basis and target Pauli by axis code: xcy has an X-basis control
// and applies Y to the target.
struct Controlled {
    TwoQubitGate gate;
    const char* name;
    int control_axis;
    int target_pauli;
};

constexpr Controlled kControlled[] = {
    {TwoQubitGate::cz, "cz", 2, 2},   {TwoQubitGate::cx, "cx", 2, 0},
    {TwoQubitGate::cy, "cy", 2, 1},   {TwoQubitGate::xcx, "xcx", 0, 0},
    {TwoQubitGate::xcy, "xcy", 0, 1}, {TwoQubitGate::xcz, "xcz", 0, 2},
    {TwoQubitGate::ycx, "ycx", 1, 0}, {TwoQubitGate::ycy, "ycy", 1, 1},
    {TwoQubitGate::ycz, "ycz", 1, 2}};

TEST(Physics, RandomCircuitsMatchStateVector) {
    const std::pair<LcOp, dense::Mat2> single[] = {
        {kLcX, dense::kPauli[0]}, {kLcY, dense::kPauli[1]}, {kLcZ, dense::kPauli[2]},
        {kLcH, dense::kH},        {kLcS, dense::kS},        {kLcSdag, dense::kSdag}};
    std::mt19937_64 gen(20240611);
    ScriptedRng rng;
    int steps = 0, random_outcomes[2] = {0, 0}, determined = 0, peeked = 0;
    for (int circuit = 0; circuit < 1000; ++circuit) {
        const std::size_t n = 1 + gen() % 6;
        Lumora s = create(n);
        dense::State ref(n);
        std::ostringstream log;
        log << "circuit " << circuit << " on " << n << " qubits:";
        for (int step = 0; step < 40; ++step, ++steps) {
            const unsigned kind = gen() % 10;
            const std::size_t q = gen() % n,
                              t = (q + 1 + gen() % std::max<std::size_t>(n - 1, 1)) % n;
            if (kind < 3 || (kind < 7 && n == 1)) {
                const auto& [op, m] = single[gen() % 6];
                log << " g" << int(op) << "(" << q << ")";
                apply_gate(s, q, op);
                ref.apply(m, q);
            } else if (kind < 7) {
                const Controlled& c = kControlled[gen() % 9];
                log << " " << c.name << "(" << q << "," << t << ")";
                apply_two_qubit_gate(s, c.gate, q, t);
                ref.apply(dense::controlled(c.control_axis, c.target_pauli), q, t);
            } else if (kind < 9) {
                const AxisCode axis = AxisCode(gen() % 3);
                rng.words.push_back(static_cast<std::uint32_t>(gen()));
                const std::size_t drawn = rng.drawn;
                const int outcome = measure(s, q, axis, rng);
                log << " m"
                    << "XYZ"[axis] << "(" << q << ")=" << outcome;
                const double p_plus = ref.probability(q, axis, 0);
                ASSERT_LE(outcome, 1) << log.str();
                if (rng.drawn == drawn) {
                    ++determined;
                    ASSERT_NEAR(p_plus, outcome == 0 ? 1.0 : 0.0, dense::kTol) << log.str();
                } else {
                    ++random_outcomes[outcome];
                    ASSERT_EQ(rng.drawn, drawn + 1) << log.str();
                    ASSERT_NEAR(p_plus, 0.5, dense::kTol) << log.str();
                }
                ref.project(q, axis, outcome);
            } else {
                std::vector<std::size_t> subset(n);
                std::iota(subset.begin(), subset.end(), std::size_t{0});
                std::ranges::shuffle(subset, gen);
                subset.resize(gen() % (n + 1));
                for (std::size_t i = 0; i < 3 * n; ++i) {
                    rng.words.push_back(static_cast<std::uint32_t>(gen()));
                }
                const Lumora before = s;
                const auto records = peek_measure_set(s, subset, rng);
                log << " peek" << subset.size();
                ASSERT_TRUE(same_nodes(before, s)) << log.str();
                ASSERT_EQ(records.size(), subset.size()) << log.str();
                dense::State sample = ref;
                for (const PeekRecord& r : records) {
                    ASSERT_EQ(std::ranges::count(subset, r.qubit), 1) << log.str();
                    ASSERT_LE(r.axis, 2) << log.str();
                    // A qubit in a pure state of its own must be previewed in the
                    // basis that determines it; an entangled one is an even coin.
                    double purity = 0.0;
                    for (int a = 0; a < 3; ++a) {
                        purity =
                            std::max(purity, std::abs(2 * sample.probability(r.qubit, a, 0) - 1));
                    }
                    const double p = sample.project(r.qubit, r.axis, r.result);
                    ASSERT_NEAR(p, purity > 1 - dense::kTol ? 1.0 : 0.5, dense::kTol)
                        << log.str() << " qubit " << r.qubit << " axis " << int(r.axis);
                    ++peeked;
                }
            }
            ASSERT_EQ(check_invariants(s), "") << log.str();
            ASSERT_TRUE(equal_up_to_phase(dense::expand(s).amp, ref.amp)) << log.str();
        }
    }
    EXPECT_GE(steps, 10000);
    EXPECT_GT(random_outcomes[0], 200);
    EXPECT_GT(random_outcomes[1], 200);
    EXPECT_GT(determined, 200);
    EXPECT_GT(peeked, 200);
}

}  // namespace
