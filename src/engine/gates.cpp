#include "engine/gates.hpp"

#include <array>
#include <string>

#include "engine/reduction.hpp"

namespace lumora {

namespace {

// Up to two single-qubit operators on one qubit, applied in order.
struct Rotation {
    std::uint8_t count;
    std::array<LcOp, 2> ops;
};

// A controlled gate is a basis change on each qubit, one cz, and the
// inverse basis change. Changes on different qubits commute, so only the
// order within one qubit matters.
struct BasisChange {
    Rotation control_before;
    Rotation target_before;
    Rotation control_after;
    Rotation target_after;
    bool cz_target_first;    // cz(target, control) instead of cz(control, target)
    bool target_used_first;  // which index the gate looks at first
};

constexpr Rotation none{0, {0, 0}};
constexpr Rotation h{1, {kLcH, 0}};
constexpr Rotation sdag_h{2, {kLcSdag, kLcH}};
constexpr Rotation h_s{2, {kLcH, kLcS}};

// Indexed by TwoQubitGate.
constexpr std::array<BasisChange, 9> basis_changes = {{
    {none, none, none, none, false, false},   // cz
    {none, h, none, h, false, true},          // cx
    {none, sdag_h, none, h_s, false, true},   // cy
    {h, h, h, h, false, false},               // xcx
    {h, sdag_h, h, h_s, true, true},          // xcy
    {h, none, h, none, true, false},          // xcz
    {sdag_h, h, h_s, h, false, false},        // ycx
    {sdag_h, sdag_h, h_s, h_s, false, true},  // ycy
    {sdag_h, none, h_s, none, true, false},   // ycz
}};

void rotate(Node& n, const Rotation& r) noexcept {
    for (std::uint8_t i = 0; i < r.count; ++i) {
        left_multiply(n, r.ops[i]);
    }
}

}  // namespace

void apply_two_qubit_gate(Lumora& s, TwoQubitGate gate, std::size_t control, std::size_t target) {
    if (control == target) {
        throw SameQubitError("control and target must be different qubits, got " +
                             std::to_string(control) + " for both");
    }
    const BasisChange& change = basis_changes[static_cast<std::size_t>(gate)];
    // Both indices are checked before any change, so a failed call leaves no
    // half-applied gate behind.
    if (change.target_used_first) {
        s.node(target);
    }
    Node& nc = s.node(control);
    Node& nt = s.node(target);
    rotate(nc, change.control_before);
    rotate(nt, change.target_before);
    if (change.cz_target_first) {
        cz(s, target, control);
    } else {
        cz(s, control, target);
    }
    rotate(nt, change.target_after);
    rotate(nc, change.control_after);
}

}  // namespace lumora
