// Helpers shared by the engine tests: building arbitrary states, store
// limits that make every set form occur on a handful of qubits, and
// comparing states exactly.
#pragma once

#include <cstddef>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/editor.hpp"
#include "engine/state.hpp"

namespace testing_util {

using namespace lumora;
using Edges = std::vector<std::pair<Qubit, Qubit>>;

// The store limits in force while it lives; the defaults come back after.
class ScopedLimits {
public:
    explicit ScopedLimits(const StoreLimits& limits) : saved_(store_limits) { store_limits = limits; }
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

// On registers of up to 7 qubits: the defaults (inline and arrays only),
// the defaults with every operation journaled and every bulk update merged
// with marks, then limits under which arrays and hash sets, and bitmaps,
// take over at degrees 2 to 4.
inline const std::vector<NamedLimits>& limit_sets() {
    constexpr std::size_t never = std::numeric_limits<std::size_t>::max();
    static const std::vector<NamedLimits> sets = {
        {"default", StoreLimits{}},
        {"journaled", StoreLimits{4, 64, 32, 4096, 1u << 20, false, 0, 0}},
        {"hash", StoreLimits{1, 2, 1, never, 1u << 20, true, 2, 1}},
        {"bitmap", StoreLimits{1, 2, 2, 0, 1u << 20, false, 32, 8}},
    };
    return sets;
}

// Edges toggled in order, then vertex operators set, all through the
// engine's own editor.
inline Lumora build_state(std::size_t n, const Edges& edges, const std::vector<LcOp>& vops = {}) {
    Lumora s = create(n);
    Transaction txn(s);
    for (auto [a, b] : edges) {
        txn.editor().toggle_edge(a, b);
    }
    for (std::size_t q = 0; q < vops.size(); ++q) {
        txn.editor().set_vop(static_cast<Qubit>(q), vops[q]);
    }
    txn.commit();
    return s;
}

// A random graph (each pair joined with probability p) with random vertex
// operators.
inline Lumora random_state(std::mt19937_64& gen, std::size_t n, double p = 0.5) {
    std::bernoulli_distribution join(p);
    Edges edges;
    for (Qubit a = 0; a < n; ++a) {
        for (Qubit b = a + 1; b < n; ++b) {
            if (join(gen)) {
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

inline Snapshot snapshot(const Lumora& s) {
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
