// The instruction set: one entry per canonical stim instruction name (plus
// the block instructions REPEAT and lumora's IF), with the rules that the
// parser and validate_instruction enforce and, for unitary Clifford gates,
// their stabilizer tableaux.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace lumora::circuit {

enum class Gate : std::uint8_t {
    // Pauli gates and the identity.
    I,
    X,
    Y,
    Z,
    // Single-qubit Clifford gates.
    C_XYZ,
    C_ZYX,
    C_NXYZ,
    C_XNYZ,
    C_XYNZ,
    C_NZYX,
    C_ZNYX,
    C_ZYNX,
    H,
    H_XY,
    H_YZ,
    H_NXY,
    H_NXZ,
    H_NYZ,
    S,
    S_DAG,
    SQRT_X,
    SQRT_X_DAG,
    SQRT_Y,
    SQRT_Y_DAG,
    // Two-qubit Clifford gates.
    CX,
    CY,
    CZ,
    XCX,
    XCY,
    XCZ,
    YCX,
    YCY,
    YCZ,
    SWAP,
    ISWAP,
    ISWAP_DAG,
    SQRT_XX,
    SQRT_XX_DAG,
    SQRT_YY,
    SQRT_YY_DAG,
    SQRT_ZZ,
    SQRT_ZZ_DAG,
    CXSWAP,
    SWAPCX,
    CZSWAP,
    II,
    // Pauli-product phasing.
    SPP,
    SPP_DAG,
    // Collapsing operations.
    M,
    MX,
    MY,
    MR,
    MRX,
    MRY,
    R,
    RX,
    RY,
    MPP,
    MXX,
    MYY,
    MZZ,
    MPAD,
    // Noise channels.
    X_ERROR,
    Y_ERROR,
    Z_ERROR,
    DEPOLARIZE1,
    DEPOLARIZE2,
    PAULI_CHANNEL_1,
    PAULI_CHANNEL_2,
    E,
    ELSE_CORRELATED_ERROR,
    HERALDED_ERASE,
    HERALDED_PAULI_CHANNEL_1,
    I_ERROR,
    II_ERROR,
    // Annotations.
    DETECTOR,
    OBSERVABLE_INCLUDE,
    QUBIT_COORDS,
    SHIFT_COORDS,
    TICK,
    // Blocks.
    REPEAT,
    IF,
};

inline constexpr std::size_t kGateCount = static_cast<std::size_t>(Gate::IF) + 1;

// What the parens arguments of an instruction must be.
enum class ArgRule : std::uint8_t {
    none,                    // no arguments
    probability,             // each in [0, max_probability]
    disjoint_probabilities,  // each in [0, 1], summing to at most 1
    coordinates,             // any finite numbers
    observable_index,        // one integer in [0, 2^32 - 1]
};

// What the targets of an instruction must be.
enum class TargetRule : std::uint8_t {
    none,               // no targets (TICK, SHIFT_COORDS, REPEAT)
    qubits,             // qubit targets
    qubit_pairs,        // qubit targets in pairs of distinct qubits
    pauli_products,     // Pauli targets joined by combiners: X0*Y1 Z2 (MPP, SPP, SPP_DAG)
    paulis,             // Pauli targets, no combiners (E, ELSE_CORRELATED_ERROR)
    records,            // rec[-k] targets (DETECTOR)
    records_or_paulis,  // rec[-k] or Pauli targets (OBSERVABLE_INCLUDE)
    bits,               // the values 0 and 1 (MPAD)
    conditions,         // at least one rec[-k] or !rec[-k] (IF)
};

struct GateInfo {
    std::string_view name;  // canonical stim name, e.g. "CX"
    Gate gate;

    // Category flags.
    bool unitary;        // a unitary Clifford operation (Paulis, I, II, SPP, SPP_DAG included)
    bool two_qubit;      // targets come in pairs
    bool measurement;    // appends entries to the measurement record
    bool reset;          // resets its qubits (MR, MRX, MRY are measurement and reset)
    bool pauli_product;  // targets are Pauli products (MPP, SPP, SPP_DAG)
    bool noise;          // a noise channel
    bool annotation;     // DETECTOR, OBSERVABLE_INCLUDE, QUBIT_COORDS, SHIFT_COORDS, TICK
    bool block;          // REPEAT, IF
    bool fusable;        // consecutive instructions with equal args and tag may be merged

    // Targets.
    TargetRule targets;
    bool takes_inverted;     // qubit / Pauli targets may be written !q
    std::uint8_t classical;  // pairs: bit 0 = first of a pair may be rec[-k] / sweep[k],
                             //        bit 1 = second of a pair may be
    // Parens arguments.
    ArgRule args;
    std::uint8_t min_args;
    std::uint8_t max_args;   // kAnyArgs: no upper bound
    double max_probability;  // for ArgRule::probability

    // Stabilizer tableau of unitary Clifford gates (empty strings otherwise,
    // and for SPP / SPP_DAG whose action depends on their targets): images
    // under P -> U P U^dagger of X, Z (single-qubit gates) or of X0, Z0, X1,
    // Z1 (two-qubit gates), as signed Pauli strings over the gate's qubits
    // in target order, '_' for identity: "+Y", "-XZ", "+_Z".
    std::array<std::string_view, 4> tableau;

    static constexpr std::uint8_t kAnyArgs = 255;

    bool is_unitary_1q() const { return unitary && !two_qubit && !pauli_product; }
    bool is_unitary_2q() const { return unitary && two_qubit; }
    bool is_measure_reset() const { return measurement && reset; }
    bool takes_any_args() const { return max_args == kAnyArgs; }
};

const GateInfo& gate_info(Gate g);

// Case-insensitive lookup of a canonical name or documented alias; nullptr
// when unknown.
const GateInfo* find_gate(std::string_view name);

// Every (alias, canonical gate) pair, e.g. {"CNOT", Gate::CX}.
struct GateAlias {
    std::string_view alias;
    Gate gate;
};
std::span<const GateAlias> gate_aliases();

// The canonical name or alias closest to `unknown` (case-insensitive edit
// distance), for "did you mean" messages.
std::string_view nearest_gate_name(std::string_view unknown);

// The single-qubit Clifford gate whose tableau maps X to x_image and Z to
// z_image ("+Y", "-Z", ...); nullptr when no gate has that tableau.
const GateInfo* find_1q_gate_by_tableau(std::string_view x_image, std::string_view z_image);

}  // namespace lumora::circuit
