#include <algorithm>
#include <string>
#include <vector>

#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/faults.hpp"
#include "module/gil.hpp"
#include "module/module_state.hpp"
#include "module/simulator.hpp"

// The views of a state: stabilizer generators, its graph, and networkx.

namespace lumora::py {

namespace {

constexpr const char* kQubitsOrAll[] = {"qubits"};

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
    const std::vector<std::string> rows =
        long_work(width >= 256, [&] { return canonical_stabilizers(sim.state, all, selected); });
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
    PyObject** words = module_state().clifford_words;
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
    const std::vector<std::pair<Qubit, Qubit>> edges =
        long_work(sim.state.size() >= kLongRegister, [&] { return edge_list(sim.state); });
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
        PyObject* word = word_object(vertex_operator(sim.state, static_cast<Qubit>(q)));
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

}  // namespace

constexpr MethodInfo m_stabilizers{
    {"Lumora", "stabilizers", kQubitsOrAll, 1, 1, 0},
    Access::shared,
    Params::objects,
    &run_stabilizers,
    nullptr,
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
    nullptr,
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
    nullptr,
    "to_networkx($self)\n--\n\nReturn the description of `graph()` as a `networkx.Graph`: "
    "nodes 0..n-1, each with the attribute 'local_clifford', and its edges. Needs networkx."};

}  // namespace lumora::py
