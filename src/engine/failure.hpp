// Engine failures. The engine never catches these; the module boundary turns
// them into Python exceptions.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace lumora {

// An engine operation stopped; the message is shown to the user verbatim.
class EngineFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A two-qubit gate was asked to act on a single qubit.
class SameQubitError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The interrupt check asked a long operation to stop; whoever installed
// the check has already recorded why.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

[[noreturn]] void fail_index(std::size_t len, std::size_t index);

// Long operations call this every so often. It returns normally when there
// is no reason to stop, and throws Interrupted otherwise.
void poll_interrupt();

// Installs the check behind poll_interrupt (nullptr: never interrupt). It
// returns true when the running operation must stop.
void set_interrupt_check(bool (*check)()) noexcept;

}  // namespace lumora
