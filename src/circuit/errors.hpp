// Exceptions raised by the circuit library.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace lumora::circuit {

// A text (stim or OpenQASM) could not be parsed. line and column are 1-based
// (the column counts bytes); what() reads "line L, column C: <message>".
struct ParseError : std::invalid_argument {
    ParseError(std::size_t line_, std::size_t column_, const std::string& message_)
        : std::invalid_argument("line " + std::to_string(line_) + ", column " +
                                std::to_string(column_) + ": " + message_),
          line(line_),
          column(column_),
          message(message_) {}
    std::size_t line;
    std::size_t column;
    std::string message;  // what() without the "line L, column C: " prefix
};

// Invalid circuit content met outside parsing: an instruction given to
// Circuit::append or validate_instruction that breaks the rules, or a count
// that does not fit in 64 bits.
struct CircuitError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

}  // namespace lumora::circuit
