// Everything the module keeps for the life of the process, in one place:
// the module object, its classes, the exception type of engine failures,
// cached strings, and the counters that fork handlers and the fault
// injection share. The module refuses every interpreter but the first, so
// one instance per process is right.
#pragma once

#include <atomic>
#include <cstdint>

#include "clifford/local_clifford.hpp"
#include "module/python.hpp"

namespace lumora::py {

class AccessLease;

struct ModuleState {
    // The interpreter that first imported the module; -1 before that.
    std::atomic<std::int64_t> interpreter{-1};
    // Built at the first successful import: importing again returns it.
    PyObject* module = nullptr;
    // The classes, each created at its first use and never released.
    PyTypeObject* simulator = nullptr;
    PyTypeObject* measurement_result = nullptr;
    PyTypeObject* axis = nullptr;
    PyTypeObject* outcome = nullptr;
    PyTypeObject* circuit = nullptr;
    PyTypeObject* gate_target = nullptr;
    PyTypeObject* circuit_instruction = nullptr;
    PyTypeObject* circuit_repeat_block = nullptr;
    PyTypeObject* circuit_if_block = nullptr;
    PyTypeObject* measurement_sampler = nullptr;
    PyTypeObject* detector_sampler = nullptr;
    // PanicException, created at the first engine failure.
    PyObject* panic = nullptr;
    // The gate word of each local Clifford as a str, made at first need.
    PyObject* clifford_words[kLcCount] = {};
    // Advanced in every forked child, and the leases held now (access.hpp).
    std::atomic<std::uint32_t> fork_generation{0};
    AccessLease* leases = nullptr;
    // Fault injection (faults.hpp): C++ allocations still allowed before
    // every further one fails, and interrupt checks still passed before one
    // raises; -1 for none.
    std::atomic<long> allocations_left{-1};
    long polls_left = -1;
};

namespace detail {
inline constinit ModuleState state;
}  // namespace detail

// The one way to reach it.
inline ModuleState& module_state() noexcept {
    return detail::state;
}

}  // namespace lumora::py
