// The simulator class Lumora: its instances, and the method rows that the
// files of the module contribute to its method table (simulator.cpp: gates,
// measurements, groups and previews; state_io.cpp: construction, seeds,
// copies and pickles; views.cpp: stabilizers and graphs; faults.cpp: the
// fault injection of the tests; run_circuit.cpp: whole circuits).
#pragma once

#include <memory>
#include <utility>

#include "module/dispatch.hpp"
#include "module/python.hpp"

namespace lumora::py {

// The class, created at its first use in the process; nullptr with an
// error set when it cannot be created.
PyTypeObject* simulator_type();

// A new Lumora object (of `type`, by default the class) owning `sim`; `sim`
// is left as it was on failure.
PyObject* wrap(Simulator&& sim, PyTypeObject* type = nullptr);

// The stream a `seed` argument asks for (state_io.cpp): none for None, a
// stream keyed from the integer otherwise. False with an error set for a
// seed that is not None, a non-negative integer or a SeedSequence.
bool stream_from_seed(PyObject* seed, std::unique_ptr<SeededStream>& out);

// The rows that live beside their run functions.
extern const MethodInfo m_new, m_copy, m_dunder_copy, m_dunder_deepcopy, m_reduce, m_from_pickle;
extern const MethodInfo m_stabilizers, m_graph, m_to_networkx;
extern const MethodInfo m_inject_faults;
extern const MethodInfo m_do;

}  // namespace lumora::py
