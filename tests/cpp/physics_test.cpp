// The engine against the dense reference model: the constant tables against
// exact matrices, every controlled-Z and measurement case against the state
// it must produce, and random circuits with measurements, previews and
// entanglement queries against a state-vector simulation, under store
// limits that make every set form occur.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <sstream>

#include "engine/engine.hpp"
#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "engine/tableau_group.hpp"
#include "scripted_rng.hpp"
#include "state_vector.hpp"
#include "test_util.hpp"

namespace {

using namespace lumora;
using namespace testing_util;
using state_vector::equal_up_to_phase;
using state_vector::lc_matrix;

TEST(CliffordMatrices, NumberingMatchesKnownGates) {
    ASSERT_EQ(state_vector::clifford_group().size(), 24u);
    const std::vector<std::pair<LcOp, state_vector::Mat2>> known = {
        {0, state_vector::kId},       {1, state_vector::kPauli[0]}, {2, state_vector::kPauli[1]},
        {3, state_vector::kPauli[2]}, {10, state_vector::kH},       {6, state_vector::kS},
        {5, state_vector::kSdag}};
    for (const auto& [j, m] : known) {
        EXPECT_TRUE(equal_up_to_phase(lc_matrix()[j], m)) << int(j);
    }
    const std::array<state_vector::SignedAxis, 3> sqrt_x{{{0, 0}, {2, 1}, {1, 0}}};
    EXPECT_EQ(state_vector::conj_action(lc_matrix()[kLcSqrtX]), sqrt_x);
}

TEST(CliffordTables, AgreeWithMatrices) {
    const auto& m = lc_matrix();
    for (int a = 0; a < 24; ++a) {
        for (int b = 0; b < 24; ++b) {
            EXPECT_TRUE(equal_up_to_phase(m[lc_mul[a][b]], state_vector::mul(m[a], m[b])))
                << a << "." << b;
        }
        EXPECT_TRUE(equal_up_to_phase(state_vector::mul(m[a], m[lc_inv[a]]), state_vector::kId))
            << a;
        const auto act = state_vector::conj_action(m[a]);
        for (AxisCode axis = 0; axis < 3; ++axis) {
            const state_vector::SignedAxis table{lc_conj_axis[axis][a],
                                                 lc_conj_sign(LcOp(a), axis)};
            EXPECT_EQ(act[axis], table) << "operator " << a << " axis " << int(axis);
        }
        EXPECT_EQ(act[lc_axis_onto_x[a]].axis, 0) << a;
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

class UnderLimits : public UnderStoreLimits {};

TEST_P(UnderLimits, LocalComplementKeepsStateAndTogglesNeighbourPairs) {
    std::mt19937_64 gen(7);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 1 + gen() % 7;
        const Qubit u = static_cast<Qubit>(gen() % n);
        GraphState s = random_state(gen, n);
        const state_vector::State before = state_vector::expand(s);
        const Edges edges = edge_list(s);
        std::set<std::pair<Qubit, Qubit>> expected(edges.begin(), edges.end());
        std::vector<Qubit> around;
        for (auto [a, b] : edges) {
            if (a == u || b == u) {
                around.push_back(a == u ? b : a);
            }
        }
        for (Qubit a : around) {
            for (Qubit b : around) {
                if (a < b && !expected.erase({a, b})) {
                    expected.insert({a, b});
                }
            }
        }
        Transaction txn(s);
        txn.editor().local_complement(u);
        txn.commit();
        ASSERT_EQ(check_invariants(s), "");
        EXPECT_EQ(edge_list(s), Edges(expected.begin(), expected.end())) << "trial " << trial;
        EXPECT_TRUE(equal_up_to_phase(before.amp, state_vector::expand(s).amp))
            << "trial " << trial;
    }
}

// Every pair of vertex operators on the two operands, with each operand
// isolated or not and the two joined or not: every rule of the
// controlled-Z (Z eigenstates, isolated operands, either operand as the
// control, images X, Y and Z, one or two complementations first).
TEST_P(UnderLimits, ControlledZForEveryOperatorPairAndNeighbourhood) {
    std::mt19937_64 gen(11);
    for (int shape = 0; shape < 8; ++shape) {
        const bool a_alone = shape & 1, b_alone = shape & 2, joined = shape & 4;
        if (joined && (a_alone || b_alone)) {
            continue;
        }
        for (int va = 0; va < 24; ++va) {
            for (int vb = 0; vb < 24; ++vb) {
                // Qubits 0 and 1 are the operands, 2..5 their surroundings.
                const std::size_t n = 6;
                Edges edges;
                if (joined) {
                    edges.emplace_back(0, 1);
                }
                for (Qubit q = 2; q < n; ++q) {
                    if (!a_alone && (q == 2 || gen() % 2)) {
                        edges.emplace_back(0, q);
                    }
                    if (!b_alone && (q == 3 || gen() % 2)) {
                        edges.emplace_back(1, q);
                    }
                    for (Qubit r = q + 1; r < n; ++r) {
                        if (gen() % 2) {
                            edges.emplace_back(q, r);
                        }
                    }
                }
                std::vector<LcOp> vops{LcOp(va), LcOp(vb)};
                for (std::size_t q = 2; q < n; ++q) {
                    vops.push_back(static_cast<LcOp>(gen() % 24));
                }
                GraphState s = build_state(n, edges, vops);
                state_vector::State ref = state_vector::expand(s);
                ref.cz(0, 1);
                const bool forward = gen() % 2;
                cz(s, forward ? 0 : 1, forward ? 1 : 0);
                ASSERT_EQ(check_invariants(s), "");
                ASSERT_TRUE(equal_up_to_phase(ref.amp, state_vector::expand(s).amp))
                    << "shape " << shape << " vops " << va << "," << vb;
            }
        }
    }
}

// Every vertex operator and axis, on an isolated qubit and on one with
// neighbours, for both outcome bits: the post-measurement state is the
// projected one, a word is drawn exactly when the outcome is not certain,
// and a certain outcome is the right one.
TEST_P(UnderLimits, MeasurementForEveryOperatorAxisAndOutcome) {
    std::mt19937_64 gen(13);
    for (int vop = 0; vop < 24; ++vop) {
        for (AxisCode axis = 0; axis < 3; ++axis) {
            for (int neighbours = 0; neighbours < 5; ++neighbours) {
                for (unsigned bit = 0; bit < 2; ++bit) {
                    const std::size_t n = 6;
                    Edges around;
                    for (Qubit q = 1; static_cast<int>(q) <= neighbours; ++q) {
                        around.emplace_back(0, q);
                    }
                    GraphState s = random_state(gen, n, 0.5, around, {0});
                    {
                        Transaction txn(s);
                        txn.editor().set_vop(0, LcOp(vop));
                        txn.commit();
                    }
                    state_vector::State ref = state_vector::expand(s);
                    ScriptedRng rng{{ScriptedRng::bit_word(bit) | 0x1234u}};
                    const std::uint8_t outcome = measure(s, 0, axis, rng);
                    const double p = ref.probability(0, axis, outcome);
                    if (rng.drawn == 0) {
                        ASSERT_NEAR(p, 1.0, state_vector::kTol) << vop << " " << int(axis);
                    } else {
                        ASSERT_NEAR(p, 0.5, state_vector::kTol) << vop << " " << int(axis);
                    }
                    ref.project(0, axis, outcome);
                    ASSERT_EQ(check_invariants(s), "");
                    ASSERT_EQ(s.node(0).degree, 0u);
                    ASSERT_TRUE(equal_up_to_phase(ref.amp, state_vector::expand(s).amp))
                        << "vop " << vop << " axis " << int(axis) << " neighbours " << neighbours
                        << " bit " << bit;
                }
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

// The smallest set of qubits containing q whose reduced state is pure: the
// factor of the state that q belongs to.
std::vector<Qubit> factor_of(const state_vector::State& st, std::size_t n, Qubit q) {
    std::vector<Qubit> best;
    for (std::size_t mask = 0; mask < (std::size_t{1} << n); ++mask) {
        if (!(mask >> q & 1)) {
            continue;
        }
        // The state factorises over (mask, rest) when its amplitude matrix,
        // rows the basis states inside the mask and columns those outside,
        // has rank one: every 2x2 minor vanishes.
        std::vector<std::size_t> inside, outside;
        for (std::size_t i = 0; i < st.amp.size(); ++i) {
            if ((i & ~mask) == 0) {
                inside.push_back(i);
            }
            if ((i & mask) == 0) {
                outside.push_back(i);
            }
        }
        bool rank_one = true;
        for (std::size_t r1 = 0; r1 < inside.size() && rank_one; ++r1) {
            for (std::size_t r2 = r1 + 1; r2 < inside.size() && rank_one; ++r2) {
                for (std::size_t c1 = 0; c1 < outside.size() && rank_one; ++c1) {
                    for (std::size_t c2 = c1 + 1; c2 < outside.size() && rank_one; ++c2) {
                        const auto m = [&](std::size_t r, std::size_t c) {
                            return st.amp[inside[r] | outside[c]];
                        };
                        rank_one = std::abs(m(r1, c1) * m(r2, c2) - m(r1, c2) * m(r2, c1)) <
                                   state_vector::kTol;
                    }
                }
            }
        }
        if (rank_one && (best.empty() || std::popcount(mask) < static_cast<int>(best.size()))) {
            best.clear();
            for (Qubit b = 0; b < n; ++b) {
                if (mask >> b & 1) {
                    best.push_back(b);
                }
            }
        }
    }
    return best;
}

TEST_P(UnderLimits, RandomCircuitsMatchStateVector) {
    const std::pair<LcOp, state_vector::Mat2> single[] = {
        {kLcX, state_vector::kPauli[0]}, {kLcY, state_vector::kPauli[1]},
        {kLcZ, state_vector::kPauli[2]}, {kLcH, state_vector::kH},
        {kLcS, state_vector::kS},        {kLcSdag, state_vector::kSdag}};
    std::mt19937_64 gen(20240611);
    ScriptedRng rng;
    int steps = 0, random_outcomes[2] = {0, 0}, determined = 0, peeked = 0, groups = 0;
    std::set<SetKind> forms;
    int densified = 0, dissolved = 0, tableaux_made = 0, tableaux_left = 0;
    for (int circuit = 0; circuit < 400; ++circuit) {
        const std::size_t n = 1 + gen() % 7;
        GraphState s = create(n);
        state_vector::State ref(n);
        std::ostringstream log;
        log << "circuit " << circuit << " on " << n << " qubits:";
        std::vector<SetKind> before(n);
        for (int step = 0; step < 40; ++step, ++steps) {
            for (Qubit v = 0; v < n; ++v) {
                before[v] = s.node(v).kind;
            }
            const unsigned kind = gen() % 12;
            const Qubit q = static_cast<Qubit>(gen() % n);
            const Qubit t =
                static_cast<Qubit>((q + 1 + gen() % std::max<std::size_t>(n - 1, 1)) % n);
            if (kind < 3 || (kind < 8 && n == 1)) {
                const auto& [op, m] = single[gen() % 6];
                log << " g" << int(op) << "(" << q << ")";
                apply_gate(s, q, op);
                ref.apply(m, q);
            } else if (kind < 8) {
                const Controlled& c = kControlled[gen() % 9];
                log << " " << c.name << "(" << q << "," << t << ")";
                apply_two_qubit_gate(s, c.gate, q, t);
                ref.apply(state_vector::controlled(c.control_axis, c.target_pauli), q, t);
            } else if (kind < 10) {
                const AxisCode axis = AxisCode(gen() % 3);
                rng.words.push_back(static_cast<std::uint32_t>(gen()));
                const std::size_t drawn = rng.drawn;
                const int outcome = measure(s, q, axis, rng);
                log << " m" << "XYZ"[axis] << "(" << q << ")=" << outcome;
                const double p_plus = ref.probability(q, axis, 0);
                ASSERT_LE(outcome, 1) << log.str();
                if (rng.drawn == drawn) {
                    ++determined;
                    ASSERT_NEAR(p_plus, outcome == 0 ? 1.0 : 0.0, state_vector::kTol) << log.str();
                } else {
                    ++random_outcomes[outcome];
                    ASSERT_EQ(rng.drawn, drawn + 1) << log.str();
                    ASSERT_NEAR(p_plus, 0.5, state_vector::kTol) << log.str();
                }
                ref.project(q, axis, outcome);
            } else if (kind < 11) {
                std::vector<std::size_t> subset(n);
                std::iota(subset.begin(), subset.end(), std::size_t{0});
                std::ranges::shuffle(subset, gen);
                subset.resize(gen() % (n + 1));
                for (std::size_t i = 0; i < 3 * n; ++i) {
                    rng.words.push_back(static_cast<std::uint32_t>(gen()));
                }
                const Snapshot before = snapshot(s);
                const auto records = peek_measure_set(s, subset, rng);
                log << " peek" << subset.size();
                ASSERT_EQ(snapshot(s), before) << log.str();
                ASSERT_EQ(records.size(), subset.size()) << log.str();
                state_vector::State sample = ref;
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
                    ASSERT_NEAR(p, purity > 1 - state_vector::kTol ? 1.0 : 0.5, state_vector::kTol)
                        << log.str() << " qubit " << r.qubit << " axis " << int(r.axis);
                    ++peeked;
                }
            } else {
                std::vector<Qubit> group = entangled_group(s, q);
                std::sort(group.begin(), group.end());
                ASSERT_EQ(group, factor_of(ref, n, q)) << log.str() << " group of " << q;
                ++groups;
            }
            ASSERT_EQ(check_invariants(s), "") << log.str();
            ASSERT_TRUE(equal_up_to_phase(state_vector::expand(s).amp, ref.amp)) << log.str();
            for (Qubit v = 0; v < n; ++v) {
                forms.insert(s.node(v).kind);
                const bool was_dense = before[v] == SetKind::dense;
                const bool is_dense = s.node(v).kind == SetKind::dense;
                const bool was_tableau = before[v] == SetKind::tableau;
                const bool is_tableau = s.node(v).kind == SetKind::tableau;
                tableaux_made += !was_tableau && is_tableau;
                tableaux_left += was_tableau && !is_tableau && graph_degree(s, v) != 0;
                densified += !was_dense && is_dense;
                dissolved += was_dense && !is_dense && s.node(v).degree != 0;
            }
        }
    }
    EXPECT_GE(steps, 10000);
    EXPECT_GT(random_outcomes[0], 200);
    EXPECT_GT(random_outcomes[1], 200);
    EXPECT_GT(determined, 200);
    EXPECT_GT(peeked, 200);
    EXPECT_GT(groups, 200);
    // Each limit set makes its own forms occur.
    const std::string name = GetParam().name;
    const bool tableau = name.starts_with("tableau");
    const bool dense = name == "dense" || name == "churn" || tableau;
    EXPECT_TRUE(forms.count(SetKind::inline_list));
    EXPECT_EQ(forms.count(SetKind::array), name == "dense" || name == "tableau" ? 0u : 1u);
    EXPECT_EQ(forms.count(SetKind::hash), name == "hash" || name == "bitmap" ? 1u : 0u);
    EXPECT_EQ(forms.count(SetKind::bitmap), name == "bitmap" ? 1u : 0u);
    EXPECT_EQ(forms.count(SetKind::dense), dense ? 1u : 0u);
    EXPECT_EQ(forms.count(SetKind::tableau), tableau ? 1u : 0u);
    // Groups go dense and come back while they still have edges; tableaux
    // are made and go back to graph form.
    if (name == "churn" || name == "tableau_churn") {
        EXPECT_GT(densified, 100);
        EXPECT_GT(dissolved, 100);
    }
    if (tableau) {
        EXPECT_GT(tableaux_made, 100);
        EXPECT_GT(tableaux_left, 10);
    }
}

// How a group is stored and rewritten depends on the group alone: the same
// circuit on the first qubits of a small register and of one with many
// more (where hub sets become bitmaps and groups may go dense) leaves the
// same edges and vertex operators, given the same random words. The small
// register's dense rows are rewritten with the processor's vector
// instructions where it has them, the large one's word by word. Run with
// dense groups kept as blocks, and as tableaux (the default).
class GroupForms : public ::testing::TestWithParam<bool> {};

TEST_P(GroupForms, AGroupIgnoresTheRestOfTheRegister) {
    const bool tableaux = GetParam();
    StoreLimits limits;
    if (!tableaux) {
        limits.tableau_min = 0;
    }
    ScopedLimits in_force(limits);
    std::mt19937_64 gen(99);
    struct Rows {
        void on(bool vector) { use_vector_rows(vector); }
        ~Rows() { use_vector_rows(true); }
    } rows;
    constexpr std::size_t m = 320;  // five words: the vector kernels run whole
    GraphState small = create(m);
    GraphState large = create(50000);
    for (int step = 0; step < 30000; ++step) {
        const Qubit a = static_cast<Qubit>(gen() % m),
                    b = static_cast<Qubit>((a + 1 + gen() % (m - 1)) % m);
        const unsigned kind = gen() % 16;
        if (kind < 5) {
            const LcOp op = std::array<LcOp, 3>{kLcH, kLcS, kLcX}[gen() % 3];
            apply_gate(small, a, op);
            apply_gate(large, a, op);
        } else if (kind < 15) {
            const Controlled& c = kControlled[gen() % 9];
            rows.on(true);
            apply_two_qubit_gate(small, c.gate, a, b);
            rows.on(false);
            apply_two_qubit_gate(large, c.gate, a, b);
        } else {
            const AxisCode axis = AxisCode(gen() % 3);
            const std::uint32_t word = static_cast<std::uint32_t>(gen());
            ScriptedRng r1{{word}}, r2{{word}};
            rows.on(true);
            const std::uint8_t small_outcome = measure(small, a, axis, r1);
            rows.on(false);
            ASSERT_EQ(small_outcome, measure(large, a, axis, r2)) << "step " << step;
        }
    }
    EXPECT_EQ(check_invariants(small), "");
    const Snapshot s1 = snapshot(small);
    Snapshot s2 = snapshot(large);
    s2.vops.resize(m);
    EXPECT_TRUE(s1 == s2);
    EXPECT_GT(s1.edges.size(), m * m / 8) << "the group should have grown dense";
    if (tableaux) {
        // A tableau costs 2 bits per member and generator, m^2/4 bytes, in
        // whole words of generators.
        ASSERT_EQ(large.node(0).kind, SetKind::tableau);
        const TableauBlock& block = *large.node(0).tableau.block;
        const std::size_t words = (block.members.size() + 63) / 64;
        EXPECT_LE(block.tableau.bytes(), (2 * 64 * words + 4) * words * 8);
        return;
    }
    ASSERT_EQ(large.node(0).kind, SetKind::dense);
    // The block costs about m^2/8 bytes, plus less than a record per member.
    const DenseBlock& block = *large.node(0).dense.block;
    const std::size_t bytes = std::size_t{block.capacity} * block.words * 8 + block.capacity * 4;
    EXPECT_LE(bytes, block.size * block.size / 8 + block.size * sizeof(Node));
}

INSTANTIATE_TEST_SUITE_P(Store, GroupForms, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "tableaux" : "blocks"; });

INSTANTIATE_TEST_SUITE_P(Store, UnderLimits, ::testing::ValuesIn(limit_sets()), limits_name);

}  // namespace
