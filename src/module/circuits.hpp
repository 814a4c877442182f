// The circuit classes: Circuit, GateTarget, CircuitInstruction,
// CircuitRepeatBlock and CircuitIfBlock.
#pragma once

#include <memory>

#include "circuit/circuit.hpp"
#include "executor/executor.hpp"
#include "module/python.hpp"

namespace lumora::py {

// Each returns the class, creating it at its first use in the process;
// nullptr with an error set when it cannot be created.
PyTypeObject* circuit_type();
PyTypeObject* gate_target_type();
PyTypeObject* circuit_instruction_type();
PyTypeObject* circuit_repeat_block_type();
PyTypeObject* circuit_if_block_type();

// The circuit a Circuit object holds; nullptr (and TypeError naming
// `param`) for anything else.
const circuit::Circuit* circuit_of(PyObject* object, const char* param);

// The program that runs a Circuit object's circuit (which circuit_of has
// accepted), compiled at its first use and kept until the circuit changes.
// Throws circuit::CircuitError for a circuit that cannot run.
std::shared_ptr<const executor::Program> program_of(PyObject* object);

// The circuit of a Circuit object, shared: a later change to the object
// goes to a copy of its own.
std::shared_ptr<const circuit::Circuit> shared_circuit_of(PyObject* object);

}  // namespace lumora::py
