// The stabilizer tableau against two oracles: a state-vector simulation on
// a few qubits (its graph form must expand to the simulated state after
// every step, and its determined outcomes must have probability 1), and
// the graph engine on groups of a hundred and more, where generators span
// several words (canonical stabilizers equal after every step).
#include "engine/tableau.hpp"

#include <gtest/gtest.h>

#include <random>

#include "engine/engine.hpp"
#include "engine/measure.hpp"
#include "scripted_rng.hpp"
#include "state_vector.hpp"
#include "test_util.hpp"

namespace {

using namespace lumora;
using namespace testing_util;

// A tableau and what became of the members it has dropped: qubit_of maps
// its members to the oracle's qubits, prepared holds each dropped qubit's
// state as the local Clifford that makes it from |+>.
struct Subject {
    Tableau tableau;
    std::vector<Qubit> qubit_of;
    std::vector<LcOp> prepared;

    // The graph form as a state over all the oracle's qubits.
    GraphState as_state() const {
        const Tableau::GraphForm form = tableau.graph_form();
        Edges edges;
        for (auto [a, b] : form.edges) {
            edges.emplace_back(std::min(qubit_of[a], qubit_of[b]),
                               std::max(qubit_of[a], qubit_of[b]));
        }
        std::vector<LcOp> vops = prepared;
        for (std::size_t i = 0; i < form.frame.size(); ++i) {
            vops[qubit_of[i]] = form.frame[i];
        }
        return build_state(prepared.size(), edges, vops);
    }
};

Subject random_subject(std::mt19937_64& gen, std::size_t n, double p) {
    const std::size_t words = (n + 63) / 64;
    std::vector<std::uint64_t> adjacency(n * words, 0);
    std::bernoulli_distribution join(p);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = a + 1; b < n; ++b) {
            if (join(gen)) {
                adjacency[a * words + b / 64] |= std::uint64_t{1} << (b % 64);
                adjacency[b * words + a / 64] |= std::uint64_t{1} << (a % 64);
            }
        }
    }
    Subject s{Tableau(static_cast<std::uint32_t>(n), adjacency.data(), words),
              {},
              std::vector<LcOp>(n, kLcIdentity)};
    for (std::size_t q = 0; q < n; ++q) {
        s.qubit_of.push_back(static_cast<Qubit>(q));
    }
    return s;
}

// One random step on the subject, mirrored on the oracle through `gate`,
// `cz` and `measure` (which returns the oracle's outcome given the
// tableau's random bit, and whether it was random there).
template <class Gate, class Cz, class Measure>
void random_step(std::mt19937_64& gen, Subject& s, Gate gate, Cz cz, Measure measure) {
    const std::uint32_t m = s.tableau.size();
    const std::uint32_t q = static_cast<std::uint32_t>(gen() % m);
    switch (gen() % 4) {
        case 0: {
            const LcOp op = static_cast<LcOp>(gen() % 24);
            s.tableau.apply(q, op);
            gate(s.qubit_of[q], op);
            break;
        }
        case 1: {
            if (m < 2) {
                break;
            }
            const std::uint32_t other = (q + 1 + static_cast<std::uint32_t>(gen() % (m - 1))) % m;
            s.tableau.cz(q, other);
            cz(s.qubit_of[q], s.qubit_of[other]);
            break;
        }
        case 2: {
            const AxisCode axis = static_cast<AxisCode>(gen() % 3);
            const bool determined = s.tableau.determined(q, axis);
            const std::uint8_t r = determined ? s.tableau.determined_outcome(q, axis)
                                              : static_cast<std::uint8_t>(gen() & 1);
            const auto [outcome, random] = measure(s.qubit_of[q], axis, r);
            ASSERT_EQ(random, !determined) << "qubit " << s.qubit_of[q] << " axis " << int(axis);
            ASSERT_EQ(outcome, r) << "qubit " << s.qubit_of[q] << " axis " << int(axis);
            if (!determined) {
                s.tableau.collapse(q, axis, r);
            }
            break;
        }
        default: {
            AxisCode axis;
            if (m > 1 && s.tableau.is_factor(q, axis)) {
                const std::uint8_t r = s.tableau.determined_outcome(q, axis);
                s.prepared[s.qubit_of[q]] = eigenstate_preparation(axis, r);
                s.tableau.remove_factor(q);
                s.qubit_of[q] = s.qubit_of.back();
                s.qubit_of.pop_back();
            }
            break;
        }
    }
}

// One random step on the subject, mirrored on its state vector.
void random_step(std::mt19937_64& gen, Subject& s, state_vector::State& sv) {
    using state_vector::lc_matrix;
    random_step(
        gen, s, [&](Qubit q, LcOp op) { sv.apply(lc_matrix()[op], q); },
        [&](Qubit a, Qubit b) { sv.cz(a, b); },
        [&](Qubit q, AxisCode axis, std::uint8_t r) {
            const double p = sv.probability(q, axis, r);
            const bool random = std::abs(p - 0.5) < state_vector::kTol;
            EXPECT_TRUE(random || std::abs(p - 1.0) < state_vector::kTol) << p;
            sv.project(q, axis, r);
            return std::pair<std::uint8_t, bool>{r, random};
        });
}

TEST(Tableau, FollowsTheStateVector) {
    std::mt19937_64 gen(20261209);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 1 + trial % 7;
        Subject s = random_subject(gen, n, 0.5);
        state_vector::State sv = state_vector::expand(s.as_state());
        for (int step = 0; step < 40; ++step) {
            random_step(gen, s, sv);
            ASSERT_TRUE(
                state_vector::equal_up_to_phase(state_vector::expand(s.as_state()).amp, sv.amp))
                << "trial " << trial << " step " << step;
            for (std::uint32_t i = 0; i < s.tableau.size(); ++i) {
                const Qubit q = s.qubit_of[i];
                bool factor = false;
                for (int a = 0; a < 3; ++a) {
                    factor = factor || std::abs(sv.probability(q, a, 0) - 0.5) > 0.25;
                }
                AxisCode axis;
                ASSERT_EQ(s.tableau.is_factor(i, axis), factor) << "qubit " << q;
            }
        }
    }
}

// Two tableaux, each taken through random steps (signs, removed members),
// appended: the result is the product of their states, whether the first
// has room to spare or is copied into a wider one.
TEST(Tableau, AppendMakesTheProductState) {
    std::mt19937_64 gen(31);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n1 = 1 + trial % 4, n2 = 1 + (trial / 4) % 4;
        Subject a = random_subject(gen, n1, 0.5), b = random_subject(gen, n2, 0.5);
        state_vector::State sa = state_vector::expand(a.as_state());
        state_vector::State sb = state_vector::expand(b.as_state());
        for (int step = 0; step < 12; ++step) {
            random_step(gen, a, sa);
            random_step(gen, b, sb);
        }
        a.tableau.append(b.tableau);
        for (Qubit q : b.qubit_of) {
            a.qubit_of.push_back(static_cast<Qubit>(n1 + q));
        }
        a.prepared.insert(a.prepared.end(), b.prepared.begin(), b.prepared.end());
        state_vector::State product(n1 + n2);
        for (std::size_t i = 0; i < sa.amp.size(); ++i) {
            for (std::size_t j = 0; j < sb.amp.size(); ++j) {
                product.amp[i | j << n1] = sa.amp[i] * sb.amp[j];
            }
        }
        ASSERT_TRUE(
            state_vector::equal_up_to_phase(state_vector::expand(a.as_state()).amp, product.amp))
            << "trial " << trial;
        ASSERT_TRUE(a.tableau.valid());
    }
}

// Groups spanning two and three words, where the engine is the oracle; the
// tableau starts from the engine's graph with its operators applied.
TEST(Tableau, FollowsTheEngineOnLargeGroups) {
    std::mt19937_64 gen(7);
    for (std::size_t n : {70u, 129u, 190u}) {
        GraphState engine = random_state(gen, n, 0.1);
        const std::size_t words = (n + 63) / 64;
        std::vector<std::uint64_t> adjacency(n * words, 0);
        for (auto [a, b] : edge_list(engine)) {
            adjacency[a * words + b / 64] |= std::uint64_t{1} << (b % 64);
            adjacency[b * words + a / 64] |= std::uint64_t{1} << (a % 64);
        }
        Subject s{Tableau(static_cast<std::uint32_t>(n), adjacency.data(), words),
                  {},
                  std::vector<LcOp>(n, kLcIdentity)};
        for (Qubit q = 0; q < n; ++q) {
            s.qubit_of.push_back(q);
            s.tableau.apply(q, engine.node(q).vop);
        }
        for (int step = 0; step < 400; ++step) {
            random_step(
                gen, s, [&](Qubit q, LcOp op) { apply_gate(engine, q, op); },
                [&](Qubit a, Qubit b) { lumora::cz(engine, a, b); },
                [&](Qubit q, AxisCode axis, std::uint8_t r) {
                    // The engine's outcome is its sign xor the drawn bit; a
                    // bit that yields r is found by trying one on a copy.
                    for (unsigned bit : {0u, 1u}) {
                        GraphState trial = copy_state(engine);
                        ScriptedRng rng{{ScriptedRng::bit_word(bit)}};
                        const std::uint8_t outcome = lumora::measure(trial, q, axis, rng);
                        if (outcome == r || rng.drawn == 0) {
                            engine = std::move(trial);
                            return std::pair<std::uint8_t, bool>{outcome, rng.drawn == 1};
                        }
                    }
                    ADD_FAILURE() << "no bit gives outcome " << int(r);
                    return std::pair<std::uint8_t, bool>{r, true};
                });
            if (step % 20 == 19 || step < 10) {
                ASSERT_EQ(canonical_stabilizers(s.as_state(), true, {}),
                          canonical_stabilizers(engine, true, {}))
                    << "n " << n << " step " << step;
            }
        }
    }
}

TEST(Tableau, EigenstatePreparation) {
    using state_vector::lc_matrix;
    for (AxisCode axis = 0; axis < 3; ++axis) {
        for (std::uint8_t r = 0; r < 2; ++r) {
            state_vector::State sv(1);
            sv.apply(state_vector::kH, 0);
            sv.apply(lc_matrix()[eigenstate_preparation(axis, r)], 0);
            EXPECT_NEAR(sv.probability(0, axis, r), 1.0, state_vector::kTol);
        }
    }
}

}  // namespace
