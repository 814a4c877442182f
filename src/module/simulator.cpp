#include "module/simulator.hpp"

#include <new>
#include <utility>
#include <vector>

#include "module/errors.hpp"
#include "module/faults.hpp"
#include "module/gil.hpp"
#include "module/module_state.hpp"
#include "module/values.hpp"

// Gates, measurements, groups and previews; the method table and the class.

namespace lumora::py {

namespace {

constexpr const char* kQubit[] = {"qubit"};
constexpr const char* kControlTarget[] = {"control", "target"};
constexpr const char* kQubits[] = {"qubits"};

template <LcOp G>
PyObject* run_gate(Simulator& sim, CallArgs& args) {
    apply_gate(sim.state, args.index[0], G);
    Py_RETURN_NONE;
}

template <TwoQubitGate G>
PyObject* run_two_qubit_gate(Simulator& sim, CallArgs& args) {
    const std::size_t c = args.index[0], t = args.index[1];
    long_work(degree_of(sim.state, c) >= kLongDegree || degree_of(sim.state, t) >= kLongDegree,
              [&] { apply_two_qubit_gate(sim.state, G, c, t); });
    Py_RETURN_NONE;
}

template <AxisCode A>
PyObject* run_measure(Simulator& sim, CallArgs& args) {
    // The result exists before the state changes, so that running out of
    // memory for it cannot follow a measurement that already happened.
    Ref result(new_measurement_result(0));
    if (!result) {
        return nullptr;
    }
    const std::uint8_t bit = sim.with_rng([&](auto& rng) {
        return long_work(degree_of(sim.state, args.index[0]) >= kLongDegree,
                         [&] { return measure(sim.state, args.index[0], A, rng); });
    });
    set_measurement_result(result.get(), bit);
    return result.release();
}

PyObject* run_entangled_group(Simulator& sim, CallArgs& args) {
    const std::vector<Qubit> group =
        long_work(degree_of(sim.state, args.index[0]) >= kLongDegree,
                  [&] { return entangled_group(sim.state, args.index[0]); });
    Ref set(PySet_New(nullptr));
    if (!set) {
        return nullptr;
    }
    for (std::size_t i = 0; i < group.size(); ++i) {
        Ref number(PyLong_FromSize_t(group[i]));
        if (!number || PySet_Add(set.get(), number.get()) < 0 || interrupted_at(i)) {
            return nullptr;
        }
    }
    return set.release();
}

PyObject* run_peek(Simulator& sim, CallArgs& args) {
    // A seeded simulator previews on a stream of its own, which leaves its
    // stream where it was: later outcomes are the same with or without it.
    std::vector<PeekRecord> records;
    if (sim.stream) {
        SeededStream preview = sim.stream->preview_stream();
        records = long_work(args.qubits.size() >= kLongPreview,
                            [&] { return peek_measure_set(sim.state, args.qubits, preview); });
    } else {
        ThreadRng rng;
        records = long_work(args.qubits.size() >= kLongPreview,
                            [&] { return peek_measure_set(sim.state, args.qubits, rng); });
    }
    Ref dict(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        const PeekRecord& record = records[i];
        Ref key(PyLong_FromSize_t(record.qubit));
        Ref value(new_outcome(record.result, record.axis));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0 ||
            interrupted_at(i)) {
            return nullptr;
        }
    }
    if (sim.stream) {
        sim.stream->count_preview();
    }
    return dict.release();
}

constexpr MethodInfo one_qubit_method(const char* name, const char* doc,
                                      PyObject* (*run)(Simulator&, CallArgs&)) {
    return {{"Lumora", name, kQubit, 1}, Access::exclusive, Params::indices, run, nullptr, doc};
}

constexpr MethodInfo two_qubit_method(const char* name, const char* doc,
                                      PyObject* (*run)(Simulator&, CallArgs&)) {
    return {
        {"Lumora", name, kControlTarget, 2}, Access::exclusive, Params::indices, run, nullptr, doc};
}

#define LUMORA_GATE_DOC(name, text)          \
    name "($self, qubit)\n--\n\nApply " text \
         " gate to the given qubit.\n\n`node` is the index of the qubit."
#define LUMORA_MEASURE_DOC(name, basis)                                                    \
    name "($self, qubit)\n--\n\nPerform a projective measurement of `qubit` in the " basis \
         " basis.\n\nReturns `MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`."
#define LUMORA_TWO_QUBIT_DOC(name, text) name "($self, control, target)\n--\n\n" text

constexpr MethodInfo m_x =
    one_qubit_method("x", LUMORA_GATE_DOC("x", "an X (Pauli-X)"), &run_gate<kLcX>);
constexpr MethodInfo m_y =
    one_qubit_method("y", LUMORA_GATE_DOC("y", "a Y (Pauli-Y)"), &run_gate<kLcY>);
constexpr MethodInfo m_z =
    one_qubit_method("z", LUMORA_GATE_DOC("z", "a Z (Pauli-Z)"), &run_gate<kLcZ>);
constexpr MethodInfo m_h =
    one_qubit_method("h", LUMORA_GATE_DOC("h", "an H (Hadamard)"), &run_gate<kLcH>);
constexpr MethodInfo m_s =
    one_qubit_method("s", LUMORA_GATE_DOC("s", "an S (phase)"), &run_gate<kLcS>);
constexpr MethodInfo m_sdag = one_qubit_method(
    "sdag", LUMORA_GATE_DOC("sdag", "an S\xE2\x80\xA0 (inverse phase)"), &run_gate<kLcSdag>);

constexpr MethodInfo m_cz = two_qubit_method(
    "cz",
    LUMORA_TWO_QUBIT_DOC("cz",
                         "Apply a controlled-Z (CZ) gate with `control` and `target` qubits."),
    &run_two_qubit_gate<TwoQubitGate::cz>);
constexpr MethodInfo m_cx = two_qubit_method(
    "cx",
    LUMORA_TWO_QUBIT_DOC("cx",
                         "Apply a controlled-X (CX) / CNOT gate with `control` and `target`."),
    &run_two_qubit_gate<TwoQubitGate::cx>);
constexpr MethodInfo m_xcx = two_qubit_method(
    "xcx", LUMORA_TWO_QUBIT_DOC("xcx", "Apply an X-controlled X gate (CX in the X basis)."),
    &run_two_qubit_gate<TwoQubitGate::xcx>);
constexpr MethodInfo m_ycx = two_qubit_method(
    "ycx",
    LUMORA_TWO_QUBIT_DOC("ycx", "Apply a Y-controlled X gate (control qubit in the Y basis)."),
    &run_two_qubit_gate<TwoQubitGate::ycx>);
constexpr MethodInfo m_xcz = two_qubit_method(
    "xcz", LUMORA_TWO_QUBIT_DOC("xcz", "Apply an X-controlled Z gate (target in X basis)."),
    &run_two_qubit_gate<TwoQubitGate::xcz>);
constexpr MethodInfo m_ycz = two_qubit_method(
    "ycz", LUMORA_TWO_QUBIT_DOC("ycz", "Apply a Y-controlled Z gate (target in Y basis)."),
    &run_two_qubit_gate<TwoQubitGate::ycz>);
constexpr MethodInfo m_cy = two_qubit_method(
    "cy", LUMORA_TWO_QUBIT_DOC("cy", "Apply a controlled-Y (CY) gate with `control` and `target`."),
    &run_two_qubit_gate<TwoQubitGate::cy>);
constexpr MethodInfo m_xcy = two_qubit_method(
    "xcy", LUMORA_TWO_QUBIT_DOC("xcy", "Apply an X-controlled Y gate (control in X basis)."),
    &run_two_qubit_gate<TwoQubitGate::xcy>);
constexpr MethodInfo m_ycy = two_qubit_method(
    "ycy", LUMORA_TWO_QUBIT_DOC("ycy", "Apply a Y-controlled Y gate (both in Y basis)."),
    &run_two_qubit_gate<TwoQubitGate::ycy>);

constexpr MethodInfo m_measure_x =
    one_qubit_method("measure_x", LUMORA_MEASURE_DOC("measure_x", "X"), &run_measure<kAxisX>);
constexpr MethodInfo m_measure_y =
    one_qubit_method("measure_y", LUMORA_MEASURE_DOC("measure_y", "Y"), &run_measure<kAxisY>);
constexpr MethodInfo m_measure_z =
    one_qubit_method("measure_z", LUMORA_MEASURE_DOC("measure_z", "Z"), &run_measure<kAxisZ>);

constexpr MethodInfo m_get_entangled_group{
    {"Lumora", "get_entangled_group", kQubit, 1},
    Access::shared,
    Params::indices,
    &run_entangled_group,
    nullptr,
    "get_entangled_group($self, qubit)\n--\n\nReturn the set of qubits that are entangled with "
    "`qubit`.\n\nThis follows adjacency in the underlying graph."};

constexpr MethodInfo m_peek_measure_set{
    {"Lumora", "peek_measure_set", kQubits, 1},
    Access::shared,
    Params::qubit_set,
    &run_peek,
    nullptr,
    "peek_measure_set($self, qubits)\n--\n\nSimulate measurements on a set of `qubits` without "
    "modifying the real state.\n\nReturns a map from qubit index to `Outcome` (result and axis "
    "used)."};

// The order of this table is the order of the class __dict__.
PyMethodDef methods[] = {
    method_row<m_x>(),
    method_row<m_y>(),
    method_row<m_z>(),
    method_row<m_h>(),
    method_row<m_s>(),
    method_row<m_sdag>(),
    method_row<m_cz>(),
    method_row<m_cx>(),
    method_row<m_xcx>(),
    method_row<m_ycx>(),
    method_row<m_xcz>(),
    method_row<m_ycz>(),
    method_row<m_cy>(),
    method_row<m_xcy>(),
    method_row<m_ycy>(),
    method_row<m_measure_x>(),
    method_row<m_measure_y>(),
    method_row<m_measure_z>(),
    method_row<m_get_entangled_group>(),
    method_row<m_peek_measure_set>(),
    method_row<m_copy>(),
    method_row<m_dunder_copy>(),
    method_row<m_dunder_deepcopy>(),
    method_row<m_reduce>(),
    method_row<m_stabilizers>(),
    method_row<m_graph>(),
    method_row<m_to_networkx>(),
    method_row<m_do>(),
    method_row<m_from_pickle>(),
    method_row<m_inject_faults>(),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* simulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return invoke_new(m_new, type, args, kwargs);
}

PyObject* simulator_repr(PyObject* self) {
    return PyUnicode_FromFormat("Lumora(num_qubits=%zu)",
                                reinterpret_cast<SimulatorObject*>(self)->sim.state.size());
}

PyObject* get_num_qubits(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<SimulatorObject*>(self)->sim.state.size());
}

PyGetSetDef properties[] = {
    {"num_qubits", &get_num_qubits, nullptr, "The number of qubits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void simulator_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<SimulatorObject*>(self);
    object->sim.~Simulator();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr const char kSimulatorDoc[] =
    "Lumora(qubit_amount, *, seed=None)\n--\n\nSimulator for graph states over a fixed number of "
    "qubits.\n\n"
    "Use this class from Python to apply gates and perform measurements.";

}  // namespace

PyTypeObject* simulator_type() {
    PyTypeObject*& kept = module_state().simulator;
    if (kept != nullptr) {
        return kept;
    }
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kSimulatorDoc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(&simulator_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        {Py_tp_repr, reinterpret_cast<void*>(&simulator_repr)},
        {Py_tp_new, reinterpret_cast<void*>(&simulator_new)},
        {0, nullptr},
    };
    register_fork_handler();
    set_interrupt_check(&interrupt_requested);
    kept =
        create_type("lumora.Lumora", "Lumora", sizeof(SimulatorObject), Py_TPFLAGS_DEFAULT, slots);
    return kept;
}

// A new Lumora object owning `sim`; `sim` is left as it was on failure.
PyObject* wrap(Simulator&& sim, PyTypeObject* type) {
    if (type == nullptr) {
        type = simulator_type();
        if (type == nullptr) {
            return nullptr;
        }
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    auto* object = reinterpret_cast<SimulatorObject*>(self);
    new (&object->sim) Simulator(std::move(sim));
    new (&object->access) AccessCounter(0);
    return self;
}

}  // namespace lumora::py
