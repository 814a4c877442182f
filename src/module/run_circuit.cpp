#include <cstdint>

#include "executor/executor.hpp"
#include "module/circuits.hpp"
#include "module/errors.hpp"
#include "module/gil.hpp"
#include "module/simulator.hpp"
#include "module/values.hpp"

// Lumora.do(circuit): a whole circuit in one call.

namespace lumora::py {

namespace {

constexpr const char* kCircuit[] = {"circuit"};

// Adds "lumora: the circuit stopped after N completed operations; ..." as a
// note to the exception being raised (PEP 678; stored as __notes__ where the
// interpreter does not show notes). Built with Python's allocator only, so a
// MemoryError from the module's own allocations keeps its note.
void add_stopped_note(std::uint64_t completed) {
    PyObject* raised = take_raised_exception();
    if (raised == nullptr) {
        return;
    }
    Ref text(
        PyUnicode_FromFormat("lumora: the circuit stopped after %llu completed operations; "
                             "the simulator holds the state after them",
                             static_cast<unsigned long long>(completed)));
    if (text) {
        Ref notes(PyObject_GetAttrString(raised, "__notes__"));
        if (!notes) {
            PyErr_Clear();
            notes = Ref(PyList_New(0));
            if (notes && PyObject_SetAttrString(raised, "__notes__", notes.get()) < 0) {
                PyErr_Clear();
            }
        }
        if (notes && PyList_Check(notes.get()) && PyList_Append(notes.get(), text.get()) < 0) {
            PyErr_Clear();
        }
    }
    PyErr_Clear();
    restore_raised_exception(raised);
}

PyObject* run_do(Simulator& sim, CallArgs& args) {
    if (circuit_of(args.objects[0], "circuit") == nullptr) {
        return nullptr;
    }
    const auto program = program_of(args.objects[0]);
    if (executor::qubits_needed(*program) > sim.state.size()) {
        PyErr_Format(PyExc_ValueError, "the circuit uses %llu qubits but the simulator has %zu",
                     static_cast<unsigned long long>(executor::qubits_needed(*program)),
                     sim.state.size());
        return nullptr;
    }
    std::uint8_t* data = nullptr;
    Ref record(new_zeroed_array(executor::record_length(*program), 0, false, "bool", &data));
    if (!record) {
        return nullptr;
    }
    try {
        // The record is numpy's memory, written without Python's help.
        WithoutGil released;
        if (sim.stream) {
            executor::run(*program, sim.state, *sim.stream, data);
        } else {
            ThreadRng rng;
            executor::run(*program, sim.state, rng, data);
        }
    } catch (const executor::Stopped& stopped) {
        try {
            std::rethrow_exception(stopped.cause());
        } catch (...) {
            raise_current_exception();
        }
        add_stopped_note(stopped.completed());
        return nullptr;
    }
    return record.release();
}

}  // namespace

constexpr MethodInfo m_do{
    {"Lumora", "do", kCircuit, 1},
    Access::exclusive,
    Params::objects,
    &run_do,
    nullptr,
    "do($self, circuit)\n--\n\nRun a whole `lumora.Circuit` on this simulator, in one call, "
    "and return this run's measurement record as a numpy array of bools.\n\nNoise draws from "
    "this simulator's random source, so a seeded simulator replays. Classical feedback and IF "
    "blocks read the record of this run. A circuit that cannot run here (more qubits than the "
    "simulator, a look-back before its first measurement) raises ValueError and changes "
    "nothing. An interrupt or MemoryError stops the run between two operations (one per "
    "target, pair or product of an instruction): the simulator holds the state after the last "
    "completed one, and the exception's note says how many completed."};

}  // namespace lumora::py
