#include "module/simulator.hpp"

#include <new>
#include <vector>

#include "engine/gates.hpp"
#include "engine/measure.hpp"
#include "engine/query.hpp"
#include "engine/rng.hpp"
#include "module/access.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/values.hpp"

namespace lumora::py {

namespace {

struct SimulatorObject {
    PyObject_HEAD Lumora state;
    AccessCounter access;
};

PyTypeObject* simulator_class = nullptr;

// The converted arguments of one call.
struct CallArgs {
    std::size_t index[kMaxParams];
    std::vector<std::size_t> qubits;  // only for peek_measure_set
};

// One row of the method table: how the method is bound, which access it
// takes, and the thin call into the engine that builds its result.
struct MethodInfo {
    CallableDesc desc;
    Access access;
    bool takes_qubit_set;
    PyObject* (*run)(Lumora& state, CallArgs& args);
    const char* doc;
};

constexpr const char* kQubit[] = {"qubit"};
constexpr const char* kControlTarget[] = {"control", "target"};
constexpr const char* kQubits[] = {"qubits"};
constexpr const char* kQubitAmount[] = {"qubit_amount"};

bool convert_args(const MethodInfo& m, PyObject* const* params, CallArgs& out) {
    if (m.takes_qubit_set) {
        return extract_index_set(params[0], m.desc.params[0], &out.qubits);
    }
    for (Py_ssize_t i = 0; i < m.desc.param_count; ++i) {
        if (!extract_index(params[i], m.desc.params[i], &out.index[i])) {
            return false;
        }
    }
    return true;
}

// Every method runs this sequence: bind, check the receiver, take access,
// convert, run the engine and build the result, release.
PyObject* invoke(const MethodInfo& m, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    PyObject* bound[kMaxParams] = {};
    PyObject* const* params = args;
    if (kwnames != nullptr || nargs != m.desc.param_count) {
        if (!bind_fastcall(m.desc, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        params = bound;
    }
    if (!PyObject_TypeCheck(self, simulator_class)) {
        raise_cannot_cast(self, "Lumora");
        return nullptr;
    }
    auto* object = reinterpret_cast<SimulatorObject*>(self);
    AccessLease lease(object->access, m.access);
    if (!lease.held()) {
        PyErr_SetString(PyExc_RuntimeError, lease.refusal());
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        CallArgs converted;
        if (!convert_args(m, params, converted)) {
            return nullptr;
        }
        return m.run(object->state, converted);
    });
}

template <const MethodInfo& M>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(M, self, args, nargs, kwnames);
}

template <LcOp G>
PyObject* run_gate(Lumora& state, CallArgs& args) {
    apply_gate(state, args.index[0], G);
    Py_RETURN_NONE;
}

template <TwoQubitGate G>
PyObject* run_two_qubit_gate(Lumora& state, CallArgs& args) {
    apply_two_qubit_gate(state, G, args.index[0], args.index[1]);
    Py_RETURN_NONE;
}

template <AxisCode A>
PyObject* run_measure(Lumora& state, CallArgs& args) {
    // The result exists before the state changes, so that running out of
    // memory for it cannot follow a measurement that already happened.
    Ref result(new_measurement_result(0));
    if (!result) {
        return nullptr;
    }
    ThreadRng rng;
    set_measurement_result(result.get(), measure(state, args.index[0], A, rng));
    return result.release();
}

PyObject* run_entangled_group(Lumora& state, CallArgs& args) {
    const std::vector<Qubit> group = entangled_group(state, args.index[0]);
    Ref set(PySet_New(nullptr));
    if (!set) {
        return nullptr;
    }
    for (std::size_t q : group) {
        Ref number(PyLong_FromSize_t(q));
        if (!number || PySet_Add(set.get(), number.get()) < 0) {
            return nullptr;
        }
    }
    return set.release();
}

PyObject* run_peek(Lumora& state, CallArgs& args) {
    ThreadRng rng;
    const std::vector<PeekRecord> records = peek_measure_set(state, args.qubits, rng);
    Ref dict(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    for (const PeekRecord& record : records) {
        Ref key(PyLong_FromSize_t(record.qubit));
        Ref value(new_outcome(record.result, record.axis));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

constexpr MethodInfo one_qubit_method(const char* name, const char* doc,
                                      PyObject* (*run)(Lumora&, CallArgs&)) {
    return {{"Lumora", name, kQubit, 1}, Access::exclusive, false, run, doc};
}

constexpr MethodInfo two_qubit_method(const char* name, const char* doc,
                                      PyObject* (*run)(Lumora&, CallArgs&)) {
    return {{"Lumora", name, kControlTarget, 2}, Access::exclusive, false, run, doc};
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
    false,
    &run_entangled_group,
    "get_entangled_group($self, qubit)\n--\n\nReturn the set of qubits that are entangled with "
    "`qubit`.\n\nThis follows adjacency in the underlying graph."};

constexpr MethodInfo m_peek_measure_set{
    {"Lumora", "peek_measure_set", kQubits, 1},
    Access::shared,
    true,
    &run_peek,
    "peek_measure_set($self, qubits)\n--\n\nSimulate measurements on a set of `qubits` without "
    "modifying the real state.\n\nReturns a map from qubit index to `Outcome` (result and axis "
    "used)."};

template <const MethodInfo& M>
PyMethodDef method_row() {
    return {M.desc.function_name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<M>)),
            METH_FASTCALL | METH_KEYWORDS, M.doc};
}

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
    {nullptr, nullptr, 0, nullptr},
};

constexpr CallableDesc kConstructor{"Lumora", "__new__", kQubitAmount, 1};

PyObject* simulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[1] = {};
        std::size_t qubit_amount;
        if (!bind_tuple_dict(kConstructor, args, kwargs, bound) ||
            !extract_index(bound[0], kQubitAmount[0], &qubit_amount)) {
            return nullptr;
        }
        Lumora state = create(qubit_amount);
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            return nullptr;
        }
        auto* object = reinterpret_cast<SimulatorObject*>(self);
        new (&object->state) Lumora(std::move(state));
        new (&object->access) AccessCounter(0);
        return self;
    });
}

void simulator_dealloc(PyObject* self) {
    auto* object = reinterpret_cast<SimulatorObject*>(self);
    object->state.~Lumora();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Long engine calls ask this every so often; a pending signal whose
// handler raises (Ctrl-C) stops them, and the engine undoes their changes.
bool signal_handler_raised() {
    return PyErr_CheckSignals() != 0;
}

constexpr const char kSimulatorDoc[] =
    "Lumora(qubit_amount)\n--\n\nSimulator for graph states over a fixed number of qubits.\n\n"
    "Use this class from Python to apply gates and perform measurements.";

}  // namespace

PyTypeObject* simulator_type() {
    if (simulator_class != nullptr) {
        return simulator_class;
    }
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kSimulatorDoc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(&simulator_dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_new, reinterpret_cast<void*>(&simulator_new)},
        {0, nullptr},
    };
    register_fork_handler();
    set_interrupt_check(&signal_handler_raised);
    simulator_class =
        create_type("lumora.Lumora", "Lumora", sizeof(SimulatorObject), Py_TPFLAGS_DEFAULT, slots);
    return simulator_class;
}

}  // namespace lumora::py
