// The circuit data model shared by the stim and OpenQASM 2.0 parsers, the
// canonical stim printer and the counts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/errors.hpp"
#include "circuit/gate_table.hpp"

namespace lumora::circuit {

// Largest qubit index (and sweep bit index) a target may hold.
inline constexpr std::uint32_t kMaxQubit = 4294967294u;
// Largest k of a rec[-k] target.
inline constexpr std::uint32_t kMaxLookback = 2147483648u;
// Largest REPEAT count.
inline constexpr std::uint64_t kMaxRepeatCount = 1000000000000000000ull;
// Deepest nesting of REPEAT / IF blocks the parser accepts: printing,
// comparing, copying and running blocks recurse once per level, so this
// bounds their stack.
inline constexpr std::size_t kMaxNesting = 1000;

// One target of an instruction (8 bytes).
struct Target {
    // (A scoped enum: an unscoped one would clash with the member `pauli`.)
    enum class Kind : std::uint8_t { qubit, record, sweep, pauli, combiner };
    Kind kind = Kind::qubit;
    bool inverted = false;    // "!q", "!X3", and for IF conditions "!rec[-k]"
    char pauli = 0;           // 'X', 'Y' or 'Z' when kind == pauli, else 0
    std::uint32_t value = 0;  // qubit index; k of rec[-k] (k >= 1); sweep bit index

    static Target qubit_target(std::uint32_t q, bool inverted = false) {
        return {Kind::qubit, inverted, 0, q};
    }
    static Target record_target(std::uint32_t k, bool inverted = false) {
        return {Kind::record, inverted, 0, k};
    }
    static Target sweep_target(std::uint32_t k) { return {Kind::sweep, false, 0, k}; }
    static Target pauli_target(char p, std::uint32_t q, bool inverted = false) {
        return {Kind::pauli, inverted, p, q};
    }
    static Target combiner_target() { return {Kind::combiner, false, 0, 0}; }

    bool operator==(const Target&) const = default;
};

struct Instruction {
    Gate gate = Gate::I;
    std::vector<double> args;        // parens arguments
    std::vector<Target> targets;     // for IF: its conditions (record targets)
    std::string tag;                 // "" if none; stored unescaped
    std::uint64_t repeat_count = 0;  // REPEAT only
    std::uint32_t body = 0;          // REPEAT / IF: index into Circuit::blocks
};

struct Circuit {
    std::vector<Instruction> instructions;
    std::vector<Circuit> blocks;  // bodies of this circuit's REPEAT / IF instructions

    // Structural equality: equal instruction lists, where REPEAT / IF bodies
    // are compared by content (not by their index in `blocks`).
    bool operator==(const Circuit& other) const;

    // Counts, computed without unrolling REPEAT blocks; CircuitError when a
    // count does not fit in 64 bits.
    std::uint64_t num_qubits() const;        // 1 + largest qubit index used, 0 if none
                                             // (MPAD's 0/1 values count, as in stim)
    std::uint64_t num_measurements() const;  // measurement record entries
    std::uint64_t num_detectors() const;
    std::uint64_t num_observables() const;  // 1 + largest OBSERVABLE_INCLUDE index

    // Appends op after validate_instruction (CircuitError when invalid; a
    // REPEAT / IF must name an existing block). When op and the last
    // instruction are of the same fusable gate with equal args and tag, op's
    // targets are appended to the last instruction instead.
    void append(Instruction op);

    // Adds an empty block and a REPEAT / IF instruction that owns it;
    // returns the new body. The reference is valid until blocks changes.
    Circuit& append_repeat(std::uint64_t count, std::string tag = {});
    Circuit& append_if(std::vector<Target> conditions, std::string tag = {});
};

// Throws CircuitError unless op obeys the rules the stim parser enforces:
// argument count and ranges, target kinds, pairs of distinct qubits, Pauli
// product syntax, the REPEAT count, IF conditions.
void validate_instruction(const Instruction& op);

// Throws CircuitError unless body may be an IF block's: unitary gates only,
// none of them classically controlled.
void check_if_body(const Circuit& body);

// Parses the stim circuit file format (with lumora's IF extension).
Circuit parse_stim(std::string_view text);

// Parses OpenQASM 2.0 with the qelib1.inc gates at Clifford angles.
Circuit parse_qasm(std::string_view text);

// Canonical stim text: one instruction per line, canonical names, blocks
// indented by four spaces, arguments in shortest round-trip form, each line
// ending in '\n'. parse_stim(to_stim_text(c)) == c for any circuit built by
// the parsers or by append.
std::string to_stim_text(const Circuit& c);

// One instruction's line of that text, without its line end (for a REPEAT
// or IF, the line that opens the block).
std::string instruction_to_text(const Instruction& op);

// One target as the stim format writes it ("5", "!5", "rec[-2]", "X3",
// "sweep[0]", "*"), and back; parse_target throws CircuitError for any
// other text.
std::string target_to_text(const Target& t);
Target parse_target(std::string_view text);

// Appends every instruction of `more` to `c` (blocks copied whole), fusing
// at the seam as append does.
void append_circuit(Circuit& c, const Circuit& more);

// How deeply blocks nest in `c` (0 without blocks); CircuitError when it is
// deeper than kMaxNesting, for circuits built by nesting rather than parsed.
std::size_t nesting_depth(const Circuit& c);
void check_nesting(const Circuit& c);

// The number of measurement record entries one instruction adds (0 for
// blocks; multiply REPEAT bodies yourself).
std::uint64_t record_entries(const Instruction& op);

}  // namespace lumora::circuit
