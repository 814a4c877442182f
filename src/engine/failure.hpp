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

[[noreturn]] void fail_index(std::size_t len, std::size_t index);

}  // namespace lumora
