#include "module/simulator.hpp"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/gates.hpp"
#include "engine/inspect.hpp"
#include "engine/measure.hpp"
#include "engine/query.hpp"
#include "engine/rng.hpp"
#include "engine/serial.hpp"
#include "module/access.hpp"
#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/faults.hpp"
#include "module/values.hpp"

namespace lumora::py {

namespace {

// A state and where its random words come from: its own seeded stream,
// or (without one) the calling thread's generator.
struct Simulator {
    Lumora state;
    std::unique_ptr<SeededStream> stream;

    // Runs f with the source of random words. A seeded stream steps back
    // to where it stood when f fails, so that a failed call draws nothing.
    template <class F>
    decltype(auto) with_rng(F&& f) {
        if (stream) {
            const SeededStream::Mark mark = stream->mark();
            try {
                return f(*stream);
            } catch (...) {
                stream->rewind(mark);
                throw;
            }
        }
        ThreadRng rng;
        return f(rng);
    }
};

struct SimulatorObject {
    PyObject_HEAD Simulator sim;
    AccessCounter access;
};

PyTypeObject* simulator_class = nullptr;

// How a method's arguments are converted before it runs.
enum class Params : std::uint8_t {
    indices,    // each a qubit index
    qubit_set,  // one set of qubit indices
    objects,    // passed as they are (null when an optional one is left out)
};

// The converted arguments of one call.
struct CallArgs {
    std::size_t index[kMaxParams];
    std::vector<std::size_t> qubits;     // only for a qubit set
    PyObject* objects[kMaxParams] = {};  // borrowed
};

// One row of the method table: how the method is bound, which access it
// takes, and the thin call into the engine that builds its result.
struct MethodInfo {
    CallableDesc desc;
    Access access;
    Params params;
    PyObject* (*run)(Simulator& sim, CallArgs& args);
    const char* doc;
};

constexpr const char* kQubit[] = {"qubit"};
constexpr const char* kControlTarget[] = {"control", "target"};
constexpr const char* kQubits[] = {"qubits"};
constexpr const char* kQubitAmount[] = {"qubit_amount"};

bool convert_args(const MethodInfo& m, PyObject* const* params, CallArgs& out) {
    if (m.params == Params::qubit_set) {
        return extract_index_set(params[0], m.desc.params[0], &out.qubits);
    }
    if (m.params == Params::objects) {
        for (Py_ssize_t i = 0; i < m.desc.param_count; ++i) {
            out.objects[i] = params[i];
        }
        return true;
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
    if (kwnames != nullptr || nargs != m.desc.param_count || !m.desc.plain()) {
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
        return m.run(object->sim, converted);
    });
}

template <const MethodInfo& M>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return invoke(M, self, args, nargs, kwnames);
}

template <LcOp G>
PyObject* run_gate(Simulator& sim, CallArgs& args) {
    apply_gate(sim.state, args.index[0], G);
    Py_RETURN_NONE;
}

template <TwoQubitGate G>
PyObject* run_two_qubit_gate(Simulator& sim, CallArgs& args) {
    apply_two_qubit_gate(sim.state, G, args.index[0], args.index[1]);
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
    const std::uint8_t bit =
        sim.with_rng([&](auto& rng) { return measure(sim.state, args.index[0], A, rng); });
    set_measurement_result(result.get(), bit);
    return result.release();
}

PyObject* run_entangled_group(Simulator& sim, CallArgs& args) {
    const std::vector<Qubit> group = entangled_group(sim.state, args.index[0]);
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
        records = peek_measure_set(sim.state, args.qubits, preview);
    } else {
        ThreadRng rng;
        records = peek_measure_set(sim.state, args.qubits, rng);
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
    return {{"Lumora", name, kQubit, 1}, Access::exclusive, Params::indices, run, doc};
}

constexpr MethodInfo two_qubit_method(const char* name, const char* doc,
                                      PyObject* (*run)(Simulator&, CallArgs&)) {
    return {{"Lumora", name, kControlTarget, 2}, Access::exclusive, Params::indices, run, doc};
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
    "get_entangled_group($self, qubit)\n--\n\nReturn the set of qubits that are entangled with "
    "`qubit`.\n\nThis follows adjacency in the underlying graph."};

constexpr MethodInfo m_peek_measure_set{
    {"Lumora", "peek_measure_set", kQubits, 1},
    Access::shared,
    Params::qubit_set,
    &run_peek,
    "peek_measure_set($self, qubits)\n--\n\nSimulate measurements on a set of `qubits` without "
    "modifying the real state.\n\nReturns a map from qubit index to `Outcome` (result and axis "
    "used)."};

// The stream a `seed` argument asks for: none for None. The key comes from
// the seed's little-endian bytes, so seeds of any size are accepted.
bool stream_from_seed(PyObject* seed, std::unique_ptr<SeededStream>& out) {
    if (seed == nullptr || seed == Py_None) {
        return true;
    }
    Ref index(extract_big_index(seed, "seed"));
    if (!index) {
        return false;
    }
    Ref zero(PyLong_FromLong(0));
    if (!zero) {
        return false;
    }
    const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative != 0) {
        if (negative > 0) {
            PyErr_SetString(PyExc_ValueError, "seed must be None or a non-negative integer");
        }
        return false;
    }
    Ref bits(PyObject_CallMethod(index.get(), "bit_length", nullptr));
    if (!bits) {
        return false;
    }
    const Py_ssize_t bit_count = PyLong_AsSsize_t(bits.get());
    if (bit_count < 0) {
        return false;
    }
    Ref bytes(PyObject_CallMethod(index.get(), "to_bytes", "ns", (bit_count + 7) / 8, "little"));
    if (!bytes) {
        return false;
    }
    out = std::make_unique<SeededStream>(SeededStream::key_from_seed(
        reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes.get())),
        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
    return true;
}

// A new Lumora object owning `sim`; `sim` is left as it was on failure.
PyObject* wrap(Simulator&& sim, PyTypeObject* type = simulator_class) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;
    }
    auto* object = reinterpret_cast<SimulatorObject*>(self);
    new (&object->sim) Simulator(std::move(sim));
    new (&object->access) AccessCounter(0);
    return self;
}

// An independent simulator with the same state; it continues the
// original's stream, or draws from a fresh one keyed from `seed`.
PyObject* copy_simulator(Simulator& sim, PyObject* seed) {
    std::unique_ptr<SeededStream> stream;
    if (!stream_from_seed(seed, stream)) {
        return nullptr;
    }
    if (!stream && (seed == nullptr || seed == Py_None) && sim.stream) {
        stream = std::make_unique<SeededStream>(*sim.stream);
    }
    Simulator copy{copy_state(sim.state), std::move(stream)};
    return wrap(std::move(copy));
}

PyObject* run_copy(Simulator& sim, CallArgs& args) {
    return copy_simulator(sim, args.objects[0]);
}

PyObject* run_plain_copy(Simulator& sim, CallArgs&) {
    return copy_simulator(sim, nullptr);
}

PyObject* run_reduce(Simulator& sim, CallArgs&) {
    std::string payload;
    SeededStream::Position at{};
    if (sim.stream) {
        at = sim.stream->position();
    }
    encode_state(sim.state, sim.stream ? &at : nullptr, payload);
    Ref bytes(PyBytes_FromStringAndSize(payload.data(), static_cast<Py_ssize_t>(payload.size())));
    if (!bytes) {
        return nullptr;
    }
    Ref loader(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(simulator_class), "_from_pickle"));
    if (!loader) {
        return nullptr;
    }
    return Py_BuildValue("(O(O))", loader.get(), bytes.get());
}

// stabilizers() of the whole register grows as n^2 (held twice while the
// list is built); past this many characters it is refused before anything
// is built.
constexpr std::size_t kMaxStabilizerCharacters = std::size_t{1} << 32;

PyObject* run_stabilizers(Simulator& sim, CallArgs& args) {
    PyObject* qubits = args.objects[0];
    const bool all = qubits == nullptr || qubits == Py_None;
    std::vector<std::size_t> selected;
    if (!all) {
        // Each index is checked as it comes, so that a long iterable of bad
        // ones fails at the first.
        if (!extract_index_set(qubits, "qubits", &selected, true, sim.state.size())) {
            return nullptr;
        }
        std::sort(selected.begin(), selected.end());
    }
    const std::size_t width = all ? sim.state.size() : selected.size();
    if (width != 0 && width > kMaxStabilizerCharacters / (width + 1)) {
        PyErr_Format(PyExc_MemoryError,
                     "stabilizers() of %zu qubits would take %zu x %zu characters; ask for "
                     "entangled groups with qubits=",
                     width, width, width + 1);
        return nullptr;
    }
    const std::vector<std::string> rows = canonical_stabilizers(sim.state, all, selected);
    Ref list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyObject* text =
            PyUnicode_FromStringAndSize(rows[i].data(), static_cast<Py_ssize_t>(rows[i].size()));
        if (text == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
        if (interrupted_at(i)) {
            return nullptr;
        }
    }
    return list.release();
}

// The gate word of each local Clifford as a str, made once and kept.
PyObject* word_object(LcOp op) {
    static PyObject* words[kLcCount] = {};
    if (words[op] == nullptr) {
        const std::string& word = clifford_word(op);
        words[op] = PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size()));
        if (words[op] != nullptr) {
            PyUnicode_InternInPlace(&words[op]);
        }
    }
    return words[op] == nullptr ? nullptr : Py_NewRef(words[op]);
}

PyObject* run_graph(Simulator& sim, CallArgs&) {
    const std::vector<std::pair<Qubit, Qubit>> edges = edge_list(sim.state);
    Ref edge_objects(PyList_New(static_cast<Py_ssize_t>(edges.size())));
    if (!edge_objects) {
        return nullptr;
    }
    for (std::size_t i = 0; i < edges.size(); ++i) {
        PyObject* pair = Py_BuildValue("(kk)", static_cast<unsigned long>(edges[i].first),
                                       static_cast<unsigned long>(edges[i].second));
        if (pair == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(edge_objects.get(), static_cast<Py_ssize_t>(i), pair);
        if (interrupted_at(i)) {
            return nullptr;
        }
    }
    const std::size_t n = sim.state.size();
    Ref words(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!words) {
        return nullptr;
    }
    for (std::size_t q = 0; q < n; ++q) {
        PyObject* word = word_object(sim.state.node(static_cast<Qubit>(q)).vop);
        if (word == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(words.get(), static_cast<Py_ssize_t>(q), word);
        if (interrupted_at(q)) {
            return nullptr;
        }
    }
    return PyTuple_Pack(2, edge_objects.get(), words.get());
}

PyObject* run_to_networkx(Simulator& sim, CallArgs& args) {
    Ref networkx(PyImport_ImportModule("networkx"));
    if (!networkx) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyObject* cause = take_raised_exception();
            PyErr_SetString(PyExc_ImportError,
                            "to_networkx() requires networkx: pip install networkx");
            PyObject* raised = take_raised_exception();
            if (raised != nullptr) {
                PyException_SetCause(raised, cause);  // takes the reference
                restore_raised_exception(raised);
            } else {
                Py_XDECREF(cause);
            }
        }
        return nullptr;
    }
    Ref described(run_graph(sim, args));
    if (!described) {
        return nullptr;
    }
    PyObject* edges = PyTuple_GET_ITEM(described.get(), 0);
    PyObject* words = PyTuple_GET_ITEM(described.get(), 1);
    Ref nodes(PyList_New(PyList_GET_SIZE(words)));
    if (!nodes) {
        return nullptr;
    }
    for (Py_ssize_t q = 0; q < PyList_GET_SIZE(words); ++q) {
        PyObject* node = Py_BuildValue("(n{sO})", q, "local_clifford", PyList_GET_ITEM(words, q));
        if (node == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(nodes.get(), q, node);
        if (interrupted_at(static_cast<std::size_t>(q))) {
            return nullptr;
        }
    }
    Ref graph(PyObject_CallMethod(networkx.get(), "Graph", nullptr));
    if (!graph) {
        return nullptr;
    }
    Ref added_nodes(PyObject_CallMethod(graph.get(), "add_nodes_from", "O", nodes.get()));
    if (!added_nodes) {
        return nullptr;
    }
    Ref added_edges(PyObject_CallMethod(graph.get(), "add_edges_from", "O", edges));
    if (!added_edges) {
        return nullptr;
    }
    return graph.release();
}

constexpr const char* kSeed[] = {"seed"};
constexpr const char* kMemo[] = {"memo"};
constexpr const char* kQubitsOrAll[] = {"qubits"};

constexpr MethodInfo m_copy{
    {"Lumora", "copy", kSeed, 1, 0, 0},
    Access::shared,
    Params::objects,
    &run_copy,
    "copy($self, /, *, seed=None)\n--\n\nReturn an independent simulator with the same "
    "state.\n\nWithout `seed` the copy continues exactly as this simulator would: a seeded "
    "simulator's copy stands at the same place in its random stream and replays what this one "
    "would draw. With `seed` the copy draws from a fresh stream keyed from that seed."};

constexpr MethodInfo m_dunder_copy{{"Lumora", "__copy__", nullptr, 0},
                                   Access::shared,
                                   Params::objects,
                                   &run_plain_copy,
                                   "__copy__($self, /)\n--\n\nThe same as `copy()`."};

constexpr MethodInfo m_dunder_deepcopy{
    {"Lumora", "__deepcopy__", kMemo, 1},
    Access::shared,
    Params::objects,
    &run_plain_copy,
    "__deepcopy__($self, memo, /)\n--\n\nThe same as `copy()`: a simulator shares nothing."};

constexpr MethodInfo m_reduce{
    {"Lumora", "__reduce__", nullptr, 0},
    Access::shared,
    Params::objects,
    &run_reduce,
    "__reduce__($self, /)\n--\n\nSupport for pickle: the state (and a seeded simulator's "
    "place in its stream) in a compact, versioned and checksummed binary form."};

constexpr MethodInfo m_stabilizers{
    {"Lumora", "stabilizers", kQubitsOrAll, 1, 1, 0},
    Access::shared,
    Params::objects,
    &run_stabilizers,
    "stabilizers($self, qubits=None)\n--\n\nReturn stabilizer generators of the state as "
    "signed Pauli strings such as '+XZIY'.\n\nWithout `qubits`, n generators over all n "
    "qubits, qubit 0 first. With `qubits` (an iterable of qubit indices that is a union of "
    "entangled groups), generators over those qubits in ascending order. The list is in "
    "canonical form, so equal states give equal lists: the reduced row echelon form with the "
    "columns X and Z of the first qubit, then X and Z of the next, and so on."};

constexpr MethodInfo m_graph{
    {"Lumora", "graph", nullptr, 0},
    Access::shared,
    Params::objects,
    &run_graph,
    "graph($self)\n--\n\nReturn `(edges, local_cliffords)`, a graph-state description of the "
    "state.\n\n`edges` is a sorted list of pairs (a, b) with a < b; `local_cliffords[q]` is a "
    "word over 'H', 'S', 'X', 'Y', 'Z'. The state is |+>^n, then CZ on every edge, then on "
    "each qubit the gates of its word from left to right (up to a global phase). It is one of "
    "many equivalent descriptions; which one may change between versions."};

constexpr MethodInfo m_to_networkx{
    {"Lumora", "to_networkx", nullptr, 0},
    Access::shared,
    Params::objects,
    &run_to_networkx,
    "to_networkx($self)\n--\n\nReturn the description of `graph()` as a `networkx.Graph`: "
    "nodes 0..n-1, each with the attribute 'local_clifford', and its edges. Needs networkx."};

// Lumora._from_pickle(data): what pickle calls to load. The bytes are
// copied out once before they are read, so that a buffer changed during the
// load (by a signal handler, or another thread) cannot pass the checks with
// one content and be built with another.
PyObject* from_pickle(PyObject* /*type*/, PyObject* data) {
    return guarded([&]() -> PyObject* {
        std::string bytes;
        {
            Py_buffer view;
            if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
                return nullptr;
            }
            try {
                bytes.assign(static_cast<const char*>(view.buf),
                             static_cast<std::size_t>(view.len));
            } catch (...) {
                PyBuffer_Release(&view);
                throw;
            }
            PyBuffer_Release(&view);
        }
        Decoded decoded = decode_state(bytes);
        Simulator sim{std::move(decoded.state), nullptr};
        if (decoded.stream) {
            sim.stream = std::make_unique<SeededStream>(*decoded.stream);
        }
        return wrap(std::move(sim));
    });
}

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
    method_row<m_copy>(),
    method_row<m_dunder_copy>(),
    method_row<m_dunder_deepcopy>(),
    method_row<m_reduce>(),
    method_row<m_stabilizers>(),
    method_row<m_graph>(),
    method_row<m_to_networkx>(),
    {"_from_pickle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_pickle)),
     METH_O | METH_CLASS,
     "_from_pickle($type, data, /)\n--\n\nRebuild a simulator from the bytes that "
     "`__reduce__` gives; anything else raises ValueError."},
    inject_faults_method,
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kConstructorParams[] = {"qubit_amount", "seed"};
constexpr CallableDesc kConstructor{"Lumora", "__new__", kConstructorParams, 2, 1, 1};

PyObject* simulator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* bound[2] = {};
        std::size_t qubit_amount;
        std::unique_ptr<SeededStream> stream;
        if (!bind_tuple_dict(kConstructor, args, kwargs, bound) ||
            !extract_index(bound[0], kQubitAmount[0], &qubit_amount) ||
            !stream_from_seed(bound[1], stream)) {
            return nullptr;
        }
        return wrap(Simulator{create(qubit_amount), std::move(stream)}, type);
    });
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
    if (simulator_class != nullptr) {
        return simulator_class;
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
    simulator_class =
        create_type("lumora.Lumora", "Lumora", sizeof(SimulatorObject), Py_TPFLAGS_DEFAULT, slots);
    return simulator_class;
}

}  // namespace lumora::py
