// Checks shared by the parsers and validate_instruction (internal header).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "circuit/circuit.hpp"

namespace lumora::circuit::detail {

struct Issue {
    std::string message;
    std::size_t index = 0;  // the offending argument or target
    bool whole = false;     // the problem concerns the whole list, not one entry
};

// Argument count and values.
std::optional<Issue> check_args(const GateInfo& g, std::span<const double> args);

// Target kinds, modifiers, pairs and Pauli-product structure. well_formed
// skips the field-consistency checks of each target (the parser's targets
// are consistent by construction).
std::optional<Issue> check_targets(const GateInfo& g, std::span<const Target> targets,
                                   bool well_formed = false);

// What may stand inside an IF block: unitary gates, without record or sweep
// targets (index names the offending target; whole, the instruction).
std::optional<Issue> check_in_if(const GateInfo& g, std::span<const Target> targets);

// Appends op to c without validation, fusing it into the last instruction
// when allowed. Args equal to -0.0 must already be normalised to +0.0.
void append_unchecked(Circuit& c, Instruction&& op);

// The text of one target as the stim format writes it.
std::string target_text(const Target& t);

// Writes the shortest text that reads back as exactly v.
void append_number(std::string& out, double v);

}  // namespace lumora::circuit::detail
