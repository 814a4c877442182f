// Helpers shared by the engine tests: building arbitrary states, store
// limits that make every set form occur on a handful of qubits, and
// comparing states exactly.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/dense.hpp"
#include "engine/editor.hpp"
#include "engine/invariants.hpp"
#include "engine/state.hpp"

namespace testing_util {

using namespace lumora;
using Edges = std::vector<std::pair<Qubit, Qubit>>;

// The store limits in force while it lives; the defaults come back after.
class ScopedLimits {
public:
    explicit ScopedLimits(const StoreLimits& limits) : saved_(store_limits) {
        store_limits = limits;
    }
    ~ScopedLimits() { store_limits = saved_; }
    ScopedLimits(const ScopedLimits&) = delete;
    ScopedLimits& operator=(const ScopedLimits&) = delete;

private:
    StoreLimits saved_;
};

struct NamedLimits {
    const char* name;
    StoreLimits limits;
};

// Tests run once under each store setting: the setting is in force while
// the test runs.
class UnderStoreLimits : public ::testing::TestWithParam<NamedLimits> {
protected:
    ScopedLimits limits_{GetParam().limits};
};

// Limits with groups of 2 or more qubits made dense as soon as a set in
// them grows (`enter`), and dissolved again below 2E = m^2 / `leave`.
inline StoreLimits dense_limits(std::uint32_t enter, std::uint32_t leave, bool quick) {
    StoreLimits limits;
    limits.quick_paths = quick;
    limits.dense_min = 2;
    limits.dense_enter = enter;
    limits.dense_leave = leave;
    limits.dense_trigger = 1;
    limits.dense_sample = 1;
    return limits;
}

// The same with dense blocks of `min` members or more made tableaux at
// their next gate, and tableaux of `leave` or fewer going back at their
// next measurement.
inline StoreLimits tableau_limits(StoreLimits limits, std::uint32_t min, std::uint32_t leave) {
    limits.tableau_min = min;
    limits.tableau_leave = leave;
    limits.tableau_sample = 1;
    return limits;
}

// On registers of up to 7 qubits: the defaults (inline and arrays only),
// the defaults with every operation journaled and every bulk update merged
// with marks, limits under which arrays and hash sets, and bitmaps, take
// over at degrees 2 to 4, every group dense, and groups that go dense and
// back to sparse all the time; and the last two again with groups kept as
// tableaux, always or coming and going.
inline const std::vector<NamedLimits>& limit_sets() {
    constexpr std::size_t never = std::numeric_limits<std::size_t>::max();
    constexpr std::uint32_t always = 1u << 30;
    static const std::vector<NamedLimits> sets = {
        {"default", StoreLimits{}},
        {"journaled", StoreLimits{.quick_paths = false, .scan_product = 0, .compared_whole = 0}},
        {"hash", StoreLimits{.inline_max = 1,
                             .array_max = 2,
                             .bitmap_divisor = 1,
                             .bitmap_min_qubits = never,
                             .scan_product = 2,
                             .compared_whole = 1}},
        {"bitmap", StoreLimits{.inline_max = 1,
                               .array_max = 2,
                               .bitmap_divisor = 2,
                               .bitmap_min_qubits = 0,
                               .quick_paths = false}},
        {"dense", dense_limits(always, always, true)},
        {"churn", dense_limits(2, 3, false)},
        {"tableau", tableau_limits(dense_limits(always, always, true), 2, 1)},
        {"tableau_churn", tableau_limits(dense_limits(2, 3, false), 3, 3)},
    };
    return sets;
}

// Names the instances of a test run under each set of limits.
inline std::string limits_name(const ::testing::TestParamInfo<NamedLimits>& info) {
    return info.param.name;
}

// Edges toggled in order, then vertex operators set, all through the
// engine's own editor, in sparse sets; then, when the limits in force make
// every group dense at once, each group of two or more goes into a block.
inline GraphState build_state(std::size_t n, const Edges& edges,
                              const std::vector<LcOp>& vops = {}) {
    GraphState s = create(n);
    {
        StoreLimits sparse = store_limits;
        sparse.dense_max = 0;
        ScopedLimits building(sparse);
        Transaction txn(s);
        for (auto [a, b] : edges) {
            txn.editor().toggle_edge(a, b);
        }
        for (std::size_t q = 0; q < vops.size(); ++q) {
            txn.editor().set_vop(static_cast<Qubit>(q), vops[q]);
        }
        txn.commit();
    }
    if (store_limits.dense_max != 0 && store_limits.dense_trigger <= 1) {
        for (Qubit q = 0; q < n; ++q) {
            if (s.node(q).kind != SetKind::dense && s.node(q).degree != 0) {
                densify_group(s, q);
            }
        }
    }
    return s;
}

// A random graph (each pair joined with probability p) with random vertex
// operators; `first` adds its edges before the random ones, and vertices
// listed in `fixed` get no random edges.
inline GraphState random_state(std::mt19937_64& gen, std::size_t n, double p = 0.5,
                               const Edges& first = {}, const std::vector<Qubit>& fixed = {}) {
    std::bernoulli_distribution join(p);
    Edges edges = first;
    auto is_fixed = [&](Qubit q) {
        return std::find(fixed.begin(), fixed.end(), q) != fixed.end();
    };
    for (Qubit a = 0; a < n; ++a) {
        for (Qubit b = a + 1; b < n; ++b) {
            if (join(gen) && !is_fixed(a) && !is_fixed(b)) {
                edges.emplace_back(a, b);
            }
        }
    }
    std::vector<LcOp> vops(n);
    for (LcOp& v : vops) {
        v = static_cast<LcOp>(gen() % 24);
    }
    return build_state(n, edges, vops);
}

// Edge set and vertex operators: what a state stores, independent of the
// form of each set.
struct Snapshot {
    Edges edges;
    std::vector<LcOp> vops;
    bool operator==(const Snapshot&) const = default;
};

inline Snapshot snapshot(const GraphState& s) {
    Snapshot out{edge_list(s), {}};
    for (Qubit q = 0; q < s.size(); ++q) {
        out.vops.push_back(s.node(q).vop);
    }
    return out;
}

inline std::string describe(const Snapshot& snap) {
    std::string text = "edges";
    for (auto [a, b] : snap.edges) {
        text += ' ';
        text += std::to_string(a);
        text += '-';
        text += std::to_string(b);
    }
    text += "; vops";
    for (LcOp v : snap.vops) {
        text += ' ';
        text += std::to_string(v);
    }
    return text;
}

}  // namespace testing_util
