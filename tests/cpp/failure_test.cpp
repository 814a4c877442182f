// A failure part-way through an operation leaves the state exactly as it
// was: allocations made to fail from the k-th one on (every later one fails
// too, as when memory is exhausted), and interrupts requested at the k-th
// check, for every k until the operation gets through.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <random>

#include "engine/engine.hpp"
#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "scripted_rng.hpp"
#include "test_util.hpp"

namespace {

// Allocations still allowed before every further one fails; -1: no limit.
std::atomic<long> allocations_left{-1};

}  // namespace

void* operator new(std::size_t size) {
    long left = allocations_left.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) {
            throw std::bad_alloc();
        }
        if (allocations_left.compare_exchange_weak(left, left - 1)) {
            break;
        }
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

// The replacements pair malloc with free; the compiler cannot see that the
// two replacements belong together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace lumora;
using namespace testing_util;

int checks_left = -1;

bool interrupt_on_countdown() {
    return checks_left >= 0 && checks_left-- == 0;
}

// One operation to break: it builds its own state and words each time.
struct Case {
    std::string name;
    std::function<GraphState()> build;
    std::function<void(GraphState&, ScriptedRng&)> run;
};

std::vector<Case> cases() {
    std::vector<Case> out;
    const TwoQubitGate gates[] = {TwoQubitGate::cz,  TwoQubitGate::cx,  TwoQubitGate::ycy,
                                  TwoQubitGate::xcz, TwoQubitGate::ycx, TwoQubitGate::xcy};
    for (int seed = 0; seed < 24; ++seed) {
        // Dense enough that complementations and measurements rewrite many
        // sets, with a hub that crosses the array limit.
        const std::size_t n = 8 + seed % 5;
        auto build = [seed, n] {
            std::mt19937_64 gen(seed);
            return random_state(gen, n, 0.3 + 0.05 * (seed % 8));
        };
        const Qubit a = static_cast<Qubit>(seed % n), b = static_cast<Qubit>((seed * 7 + 3) % n);
        if (a != b) {
            const TwoQubitGate gate = gates[seed % 6];
            out.push_back({"gate " + std::to_string(seed), build, [=](GraphState& s, ScriptedRng&) {
                               apply_two_qubit_gate(s, gate, a, b);
                           }});
        }
        const AxisCode axis = static_cast<AxisCode>(seed % 3);
        out.push_back({"measure " + std::to_string(seed), build,
                       [=](GraphState& s, ScriptedRng& rng) { measure(s, a, axis, rng); }});
        std::vector<std::size_t> previewed{a};
        for (std::size_t q : {std::size_t{b}, (a + 1) % n}) {
            if (std::ranges::count(previewed, q) == 0) {
                previewed.push_back(q);
            }
        }
        out.push_back({"peek " + std::to_string(seed), build, [=](GraphState& s, ScriptedRng& rng) {
                           peek_measure_set(s, previewed, rng);
                       }});
    }
    // A hub whose set changes form on the way: a star whose hub and first
    // leaf carry H, so that a cz between them must complement at the hub,
    // and one from a fresh qubit joins it to every leaf.
    for (std::size_t leaves : {6, 70}) {
        auto build = [leaves] {
            Edges star;
            for (Qubit q = 1; q <= leaves; ++q) {
                star.emplace_back(0, q);
            }
            std::vector<LcOp> vops(leaves + 2, kLcIdentity);
            vops[0] = vops[1] = kLcH;
            return build_state(leaves + 2, star, vops);
        };
        const Qubit spare = static_cast<Qubit>(leaves + 1);
        out.push_back({"star cz " + std::to_string(leaves), build,
                       [](GraphState& s, ScriptedRng&) { cz(s, 0, 1); }});
        out.push_back({"star join " + std::to_string(leaves), build,
                       [=](GraphState& s, ScriptedRng&) { cz(s, spare, 0); }});
        out.push_back({"star measure y " + std::to_string(leaves), build,
                       [](GraphState& s, ScriptedRng& rng) { measure(s, 0, kAxisY, rng); }});
    }
    return out;
}

class FailuresUnderLimits : public UnderStoreLimits {};

// Runs `c` with a failure injected at step k = 0, 1, ... until it gets
// through; after every failure the state must be as before, and the
// successful run must give what a run without failures gives.
template <class Failure>
void break_at_every_step(const Case& c, const std::function<void(long)>& arm,
                         const std::function<void()>& disarm, int& failures) {
    const std::vector<std::uint32_t> words = {0x80000000u, 0x12345678u, 0xC0000000u, 0x55555556u,
                                              0x0u,        0xAAAAAAABu, 0x7FFFFFFFu};
    GraphState reference = c.build();
    ScriptedRng reference_rng{words};
    c.run(reference, reference_rng);
    const Snapshot expected = snapshot(reference);
    for (long k = 0;; ++k) {
        GraphState s = c.build();
        const Snapshot before = snapshot(s);
        ScriptedRng rng{words};
        bool failed = false;
        arm(k);
        try {
            c.run(s, rng);
        } catch (const Failure&) {
            failed = true;
        }
        disarm();
        ASSERT_EQ(check_invariants(s), "") << c.name << " k=" << k;
        if (!failed) {
            ASSERT_EQ(snapshot(s), expected) << c.name << " k=" << k;
            break;
        }
        ++failures;
        ASSERT_EQ(snapshot(s), before) << c.name << " failed at step " << k << "\nbefore "
                                       << describe(before) << "\nafter  " << describe(snapshot(s));
        ASSERT_LT(k, 100000) << c.name;
    }
}

TEST_P(FailuresUnderLimits, OutOfMemoryChangesNothing) {
    int failures = 0;
    for (const Case& c : cases()) {
        break_at_every_step<std::bad_alloc>(
            c, [](long k) { allocations_left.store(k); }, [] { allocations_left.store(-1); },
            failures);
        if (HasFatalFailure()) {
            return;
        }
    }
    EXPECT_GT(failures, 500);
}

TEST_P(FailuresUnderLimits, InterruptChangesNothing) {
    StoreLimits limits = store_limits;
    limits.poll_interval = 1;  // a check after every set update
    ScopedLimits often(limits);
    set_interrupt_check(&interrupt_on_countdown);
    int failures = 0;
    for (const Case& c : cases()) {
        break_at_every_step<Interrupted>(
            c, [](long k) { checks_left = static_cast<int>(k); }, [] { checks_left = -1; },
            failures);
        if (HasFatalFailure()) {
            break;
        }
    }
    set_interrupt_check(nullptr);
    EXPECT_GT(failures, 500);
}

// An interrupt in the middle of an operation whose journal outgrows the
// scratch that is kept between operations.
TEST(Failures, InterruptOfALargeOperationChangesNothing) {
    // A cz between the hubs of two GHZ stars, both hubs turned by h:
    // complementing a hub's 600 leaves takes about 360,000 journal entries.
    constexpr std::size_t leaves = 600;
    GraphState s = create(2 * leaves + 2);
    for (Qubit hub : {Qubit{0}, Qubit{leaves + 1}}) {
        apply_gate(s, hub, kLcH);
        for (Qubit q = hub + 1; q <= hub + leaves; ++q) {
            apply_two_qubit_gate(s, TwoQubitGate::cx, hub, q);
        }
        apply_gate(s, hub, kLcH);
    }
    const Snapshot before = snapshot(s);
    StoreLimits limits = store_limits;
    limits.poll_interval = 4096;
    ScopedLimits often(limits);
    set_interrupt_check(&interrupt_on_countdown);
    checks_left = 40;
    bool interrupted = false;
    try {
        cz(s, 0, leaves + 1);
    } catch (const Interrupted&) {
        interrupted = true;
    }
    set_interrupt_check(nullptr);
    checks_left = -1;
    EXPECT_TRUE(interrupted);
    EXPECT_EQ(check_invariants(s), "");
    EXPECT_TRUE(snapshot(s) == before);
}

// Whether f threw std::bad_alloc with only k allocations allowed; nothing
// else may allocate while the limit is armed.
template <class F>
bool runs_out_of_memory(long k, F&& f) {
    bool threw = false;
    allocations_left.store(k);
    try {
        f();
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    allocations_left.store(-1);
    return threw;
}

TEST(Failures, CreateAndQueryFailCleanly) {
    EXPECT_TRUE(runs_out_of_memory(0, [] { create(1u << 20); }));
    EXPECT_FALSE(runs_out_of_memory(1, [] { create(1u << 20); }));
    EXPECT_THROW(create(kMaxQubits + 1), SizeLimitError);
    const GraphState s = build_state(5, {{0, 1}, {1, 2}, {3, 4}});
    EXPECT_TRUE(runs_out_of_memory(0, [&] { entangled_group(s, 0); }));
    EXPECT_EQ(entangled_group(s, 2).size(), 3u);
}

// Copying and loading build a new state: a failure anywhere leaves nothing
// behind (the sanitizer run finds leaks) and never touches the original.
TEST_P(FailuresUnderLimits, CopiesAndLoadsFailCleanly) {
    int failures = 0;
    for (const Case& c : cases()) {
        const GraphState s = c.build();
        const Snapshot expected = snapshot(s);
        std::string bytes;
        encode_state(s, nullptr, bytes);
        for (long k = 0;; ++k) {
            std::optional<GraphState> copy;
            if (!runs_out_of_memory(k, [&] { copy.emplace(copy_state(s)); })) {
                ASSERT_EQ(snapshot(*copy), expected) << c.name;
                break;
            }
            ++failures;
        }
        for (long k = 0;; ++k) {
            std::optional<Decoded> loaded;
            if (!runs_out_of_memory(k, [&] { loaded.emplace(decode_state(bytes)); })) {
                ASSERT_EQ(snapshot(loaded->state), expected) << c.name;
                break;
            }
            ++failures;
        }
        ASSERT_EQ(snapshot(s), expected) << c.name;
    }
    EXPECT_GT(failures, 100);
}

INSTANTIATE_TEST_SUITE_P(Store, FailuresUnderLimits, ::testing::ValuesIn(limit_sets()),
                         limits_name);

}  // namespace
