#include "module/circuits.hpp"

#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "module/binding.hpp"
#include "module/errors.hpp"
#include "module/module_state.hpp"
#include "module/samplers.hpp"
#include "module/values.hpp"

namespace lumora::py {

namespace {

using circuit::Circuit;
using circuit::Gate;
using circuit::Instruction;
using circuit::Target;

// The circuit is shared with the programs compiled from it, which runs
// keep: a change made while a run holds it goes to a fresh copy.
struct CircuitObject {
    PyObject_HEAD std::shared_ptr<Circuit> circuit;
    std::shared_ptr<const executor::Program> program;  // compiled at the first run
};

struct TargetObject {
    PyObject_HEAD Target target;
};

struct InstructionObject {
    PyObject_HEAD Instruction op;
};

// A REPEAT or IF block as seen from Python: its head and its body, a
// Circuit of its own.
struct BlockObject {
    PyObject_HEAD Instruction head;  // conditions, count and tag; no body
    PyObject* body;                  // a Circuit
};

template <class T>
T* as(PyObject* object) {
    return reinterpret_cast<T*>(object);
}

template <class T>
void destroy(PyObject* self) {
    as<T>(self)->~T();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

void block_dealloc(PyObject* self) {
    Py_XDECREF(as<BlockObject>(self)->body);
    destroy<BlockObject>(self);
}

PyObject* new_circuit(Circuit&& c, PyTypeObject* type = nullptr) {
    if (type == nullptr) {
        type = circuit_type();
        if (type == nullptr) {
            return nullptr;
        }
    }
    auto shared = std::make_shared<Circuit>(std::move(c));
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        new (&as<CircuitObject>(self)->circuit) std::shared_ptr<Circuit>(std::move(shared));
        new (&as<CircuitObject>(self)->program) std::shared_ptr<const executor::Program>();
    }
    return self;
}

PyObject* new_target(const Target& t) {
    PyTypeObject* type = gate_target_type();
    if (type == nullptr) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        as<TargetObject>(self)->target = t;
    }
    return self;
}

PyObject* text(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// The arguments of a constructor call that rebuilds a tagged object: ", tag='...'"
// when it has a tag, else nothing.
PyObject* tag_argument(const std::string& tag) {
    if (tag.empty()) {
        return PyUnicode_FromString("");
    }
    Ref value(text(tag));
    return value ? PyUnicode_FromFormat(", tag=%R", value.get()) : nullptr;
}

// Targets as Python values that read back as equal targets: ints for plain
// qubits, their text otherwise.
PyObject* target_values(const std::vector<Target>& targets) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(targets.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const Target& t = targets[i];
        PyObject* value = t.kind == Target::Kind::qubit && !t.inverted
                              ? PyLong_FromUnsignedLong(t.value)
                              : text(circuit::target_to_text(t));
        if (value == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

bool is_circuit(PyObject* object) {
    PyTypeObject* type = module_state().circuit;
    return type != nullptr && PyObject_TypeCheck(object, type);
}

// --- Converting arguments

// A target: an int is a qubit, a GateTarget is itself, a str is read as
// the stim format writes targets ("rec[-1]", "!3", "X2", "*").
bool to_target(PyObject* item, Target& out, const char* parameter = "targets") {
    if (PyObject_TypeCheck(item, module_state().gate_target)) {
        out = as<TargetObject>(item)->target;
        return true;
    }
    if (PyUnicode_Check(item)) {
        Py_ssize_t length = 0;
        const char* chars = PyUnicode_AsUTF8AndSize(item, &length);
        if (chars == nullptr) {
            return false;
        }
        out = circuit::parse_target(std::string_view(chars, static_cast<std::size_t>(length)));
        return true;
    }
    std::size_t q;
    if (!extract_index(item, parameter, &q)) {
        return false;
    }
    if (q > circuit::kMaxQubit) {
        PyErr_Format(PyExc_ValueError, "qubit %zu is above the largest qubit index, %u", q,
                     circuit::kMaxQubit);
        return false;
    }
    out = Target::qubit_target(static_cast<std::uint32_t>(q));
    return true;
}

bool to_targets(PyObject* items, std::vector<Target>& out) {
    if (items == nullptr) {
        return true;
    }
    Ref iterator(PyObject_GetIter(items));
    if (!iterator) {
        return false;
    }
    while (Ref item{PyIter_Next(iterator.get())}) {
        Target t;
        if (!to_target(item.get(), t)) {
            return false;
        }
        out.push_back(t);
    }
    return !PyErr_Occurred();
}

bool to_args(PyObject* items, std::vector<double>& out) {
    if (items == nullptr) {
        return true;
    }
    Ref iterator(PyObject_GetIter(items));
    if (!iterator) {
        return false;
    }
    while (Ref item{PyIter_Next(iterator.get())}) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred()) {
            return false;
        }
        out.push_back(value == 0 ? 0.0 : value);  // -0 reads as 0, as in the text
    }
    return !PyErr_Occurred();
}

bool to_tag(PyObject* object, std::string& out) {
    if (object == nullptr || object == Py_None) {
        return true;
    }
    Py_ssize_t length = 0;
    const char* chars =
        PyUnicode_Check(object) ? PyUnicode_AsUTF8AndSize(object, &length) : nullptr;
    if (chars == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError, "tag must be a str");
        }
        return false;
    }
    out.assign(chars, static_cast<std::size_t>(length));
    return true;
}

bool to_gate(PyObject* name, Gate& out) {
    Py_ssize_t length = 0;
    const char* chars = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
    if (chars == nullptr) {
        if (!PyErr_Occurred()) {
            raise_cannot_cast(name, "str");
        }
        return false;
    }
    const std::string_view view(chars, static_cast<std::size_t>(length));
    const circuit::GateInfo* info = circuit::find_gate(view);
    if (info == nullptr) {
        PyErr_Format(PyExc_ValueError, "unknown instruction '%s' (did you mean '%s'?)",
                     std::string(view).c_str(),
                     std::string(circuit::nearest_gate_name(view)).c_str());
        return false;
    }
    out = info->gate;
    return true;
}

// --- Circuit

PyObject* circuit_copy_of(const Circuit& c) {
    return new_circuit(Circuit(c));
}

constexpr const char* kText[] = {"text"};
constexpr const char* kPath[] = {"path"};
constexpr const char* kMemo[] = {"memo"};
constexpr const char* kAppendParams[] = {"name", "targets", "args", "tag"};

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kNew{"Circuit", "__new__", kText, 1, 1, 0};
        PyObject* bound[1] = {};
        if (!bind_tuple_dict(kNew, args, kwargs, bound)) {
            return nullptr;
        }
        if (bound[0] == nullptr) {
            return new_circuit(Circuit(), type);
        }
        Py_ssize_t length = 0;
        const char* chars =
            PyUnicode_Check(bound[0]) ? PyUnicode_AsUTF8AndSize(bound[0], &length) : nullptr;
        if (chars == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_TypeError, "argument 'text': expected str, got '%s'",
                             Py_TYPE(bound[0])->tp_name);
            }
            return nullptr;
        }
        return new_circuit(
            circuit::parse_stim(std::string_view(chars, static_cast<std::size_t>(length))), type);
    });
}

// The text of a str, or of bytes (read as UTF-8).
bool text_of(PyObject* object, const char* param, std::string& out) {
    Py_ssize_t length = 0;
    if (PyUnicode_Check(object)) {
        const char* chars = PyUnicode_AsUTF8AndSize(object, &length);
        if (chars == nullptr) {
            return false;
        }
        out.assign(chars, static_cast<std::size_t>(length));
        return true;
    }
    if (PyBytes_Check(object)) {
        out.assign(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
        return true;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got '%s'", param,
                 Py_TYPE(object)->tp_name);
    return false;
}

// Whether the text is OpenQASM: its first word, past blank lines and
// comments, is OPENQASM.
bool looks_like_qasm(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size()) {
        const char c = t[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (t.substr(i, 2) == "//" || c == '#') {
            while (i < t.size() && t[i] != '\n') {
                ++i;
            }
        } else {
            return t.substr(i, 8) == "OPENQASM";
        }
    }
    return false;
}

PyObject* circuit_from_file(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kDesc{"Circuit", "from_file", kPath, 1};
        PyObject* bound[1] = {};
        if (!bind_fastcall(kDesc, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        Ref builtins(PyImport_ImportModule("builtins"));
        if (!builtins) {
            return nullptr;
        }
        Ref file(PyObject_CallMethod(builtins.get(), "open", "Os", bound[0], "rb"));
        if (!file) {
            return nullptr;
        }
        Ref content(PyObject_CallMethod(file.get(), "read", nullptr));
        // Closed whatever the read did; a failed read's error is the one raised.
        PyObject* read_error = content ? nullptr : take_raised_exception();
        Ref closed(PyObject_CallMethod(file.get(), "close", nullptr));
        if (read_error != nullptr) {
            restore_raised_exception(read_error);
            return nullptr;
        }
        if (!closed) {
            return nullptr;
        }
        std::string body;
        if (!text_of(content.get(), "path", body)) {
            return nullptr;
        }
        return new_circuit(
            looks_like_qasm(body) ? circuit::parse_qasm(body) : circuit::parse_stim(body),
            reinterpret_cast<PyTypeObject*>(type));
    });
}

PyObject* circuit_from_qasm(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kDesc{"Circuit", "from_qasm", kText, 1};
        PyObject* bound[1] = {};
        std::string body;
        if (!bind_fastcall(kDesc, args, nargs, kwnames, bound) ||
            !text_of(bound[0], "text", body)) {
            return nullptr;
        }
        return new_circuit(circuit::parse_qasm(body), reinterpret_cast<PyTypeObject*>(type));
    });
}

const Circuit& circuit_ref(PyObject* self) {
    return *as<CircuitObject>(self)->circuit;
}

// The circuit, for a change: a copy of its own if a program shares it.
Circuit& changing(PyObject* self) {
    CircuitObject* object = as<CircuitObject>(self);
    object->program.reset();
    if (object->circuit.use_count() > 1) {
        object->circuit = std::make_shared<Circuit>(*object->circuit);
    }
    return *object->circuit;
}

// A block object as a circuit of that one block.
Circuit block_as_circuit(const BlockObject& block) {
    Circuit one;
    Circuit body = circuit_ref(block.body);
    Circuit& fresh = block.head.gate == Gate::REPEAT
                         ? one.append_repeat(block.head.repeat_count, block.head.tag)
                         : one.append_if(block.head.targets, block.head.tag);
    fresh = std::move(body);
    return one;
}

PyObject* circuit_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kDesc{"Circuit", "append", kAppendParams, 4, 3, 1};
        PyObject* bound[4] = {};
        if (!bind_fastcall(kDesc, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        // Everything is converted before the circuit changes: converting
        // may run Python code.
        PyObject* name = bound[0];
        if (PyObject_TypeCheck(name, module_state().circuit_instruction) ||
            PyObject_TypeCheck(name, module_state().circuit_repeat_block) ||
            PyObject_TypeCheck(name, module_state().circuit_if_block)) {
            if (bound[1] != nullptr || bound[2] != nullptr || bound[3] != nullptr) {
                PyErr_SetString(
                    PyExc_TypeError,
                    "append() of an instruction or block takes no targets, args or tag");
                return nullptr;
            }
            Circuit piece;
            if (PyObject_TypeCheck(name, module_state().circuit_instruction)) {
                piece.append(as<InstructionObject>(name)->op);
            } else {
                piece = block_as_circuit(*as<BlockObject>(name));
                circuit::check_nesting(piece);
            }
            circuit::append_circuit(changing(self), piece);
            Py_RETURN_NONE;
        }
        Instruction op;
        if (!to_gate(name, op.gate) || !to_targets(bound[1], op.targets) ||
            !to_args(bound[2], op.args) || !to_tag(bound[3], op.tag)) {
            return nullptr;
        }
        if (op.gate == Gate::REPEAT || op.gate == Gate::IF) {
            PyErr_SetString(PyExc_ValueError,
                            "REPEAT and IF blocks are appended as CircuitRepeatBlock or "
                            "CircuitIfBlock objects, or with +, * and +=");
            return nullptr;
        }
        changing(self).append(std::move(op));
        Py_RETURN_NONE;
    });
}

PyObject* circuit_copy(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr CallableDesc kDesc{"Circuit", "copy", nullptr, 0};
    if (!bind_fastcall(kDesc, nullptr, nargs, kwnames, nullptr)) {
        return nullptr;
    }
    return guarded([&] { return circuit_copy_of(circuit_ref(self)); });
}

PyObject* circuit_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    static constexpr CallableDesc kDesc{"Circuit", "__deepcopy__", kMemo, 1};
    PyObject* bound[1] = {};
    if (!bind_fastcall(kDesc, args, nargs, kwnames, bound)) {
        return nullptr;
    }
    return guarded([&] { return circuit_copy_of(circuit_ref(self)); });
}

PyObject* circuit_str(PyObject* self) {
    return guarded([&] { return text(circuit::to_stim_text(circuit_ref(self))); });
}

PyObject* circuit_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const std::string body = circuit::to_stim_text(circuit_ref(self));
        if (body.empty()) {
            return text("lumora.Circuit()");
        }
        // One line per instruction reads best; where a tag holds a backslash, a
        // carriage return or quotes, only a plain string literal reads back.
        if (body.find_first_of("\\\r") == std::string::npos &&
            body.find("'''") == std::string::npos) {
            return text("lumora.Circuit('''\n" + body + "''')");
        }
        Ref literal(text(body));
        return literal ? PyUnicode_FromFormat("lumora.Circuit(%R)", literal.get()) : nullptr;
    });
}

PyObject* circuit_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Ref body(text(circuit::to_stim_text(circuit_ref(self))));
        if (!body) {
            return nullptr;
        }
        return Py_BuildValue("(O(O))", reinterpret_cast<PyObject*>(Py_TYPE(self)), body.get());
    });
}

PyObject* circuit_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_circuit(other)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = circuit_ref(self) == circuit_ref(other);
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_ssize_t circuit_length(PyObject* self) {
    return static_cast<Py_ssize_t>(circuit_ref(self).instructions.size());
}

// The instruction at `index`, as a CircuitInstruction, CircuitRepeatBlock
// or CircuitIfBlock.
PyObject* item_of(const Circuit& c, std::size_t index) {
    const Instruction& op = c.instructions[index];
    if (op.gate != Gate::REPEAT && op.gate != Gate::IF) {
        PyTypeObject* type = circuit_instruction_type();
        if (type == nullptr) {
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self != nullptr) {
            new (&as<InstructionObject>(self)->op) Instruction(op);
        }
        return self;
    }
    PyTypeObject* type =
        op.gate == Gate::REPEAT ? circuit_repeat_block_type() : circuit_if_block_type();
    if (type == nullptr) {
        return nullptr;
    }
    Ref body(circuit_copy_of(c.blocks[op.body]));
    if (!body) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        Instruction head = op;
        head.body = 0;
        new (&as<BlockObject>(self)->head) Instruction(std::move(head));
        as<BlockObject>(self)->body = body.release();
    }
    return self;
}

PyObject* circuit_item(PyObject* self, Py_ssize_t index) {
    const Circuit& c = circuit_ref(self);
    if (index < 0 || static_cast<std::size_t>(index) >= c.instructions.size()) {
        PyErr_SetString(PyExc_IndexError, "circuit index out of range");
        return nullptr;
    }
    return guarded([&] { return item_of(c, static_cast<std::size_t>(index)); });
}

PyObject* circuit_iter(PyObject* self) {
    return PySeqIter_New(self);
}

PyObject* circuit_add(PyObject* left, PyObject* right) {
    if (!is_circuit(left) || !is_circuit(right)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guarded([&]() -> PyObject* {
        Circuit sum = circuit_ref(left);
        circuit::append_circuit(sum, circuit_ref(right));
        return new_circuit(std::move(sum));
    });
}

PyObject* circuit_inplace_add(PyObject* self, PyObject* other) {
    if (!is_circuit(other)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guarded([&]() -> PyObject* {
        if (other == self) {
            // A copy first: `c += c` reads what it appends to.
            const Circuit more = circuit_ref(other);
            circuit::append_circuit(changing(self), more);
        } else {
            Circuit& target = changing(self);
            circuit::append_circuit(target, circuit_ref(other));
        }
        return Py_NewRef(self);
    });
}

// `c * n`: the circuit in a REPEAT block of n (nothing for 0, itself for 1).
bool repeated(const Circuit& c, PyObject* count, Circuit& out) {
    Ref index(PyNumber_Index(count));
    if (!index) {
        return false;
    }
    const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "a circuit repeats 0 to %llu times",
                     static_cast<unsigned long long>(circuit::kMaxRepeatCount));
        return false;
    }
    if (n > circuit::kMaxRepeatCount) {
        PyErr_Format(PyExc_ValueError, "a circuit repeats 0 to %llu times, not %llu",
                     static_cast<unsigned long long>(circuit::kMaxRepeatCount), n);
        return false;
    }
    out = Circuit();
    if (n == 1) {
        out = c;
    } else if (n > 1 && !c.instructions.empty()) {
        Circuit body = c;
        out.append_repeat(n) = std::move(body);
        circuit::check_nesting(out);
    }
    return true;
}

PyObject* circuit_multiply(PyObject* left, PyObject* right) {
    PyObject* self = is_circuit(left) ? left : right;
    PyObject* count = self == left ? right : left;
    if (!is_circuit(self) || !PyIndex_Check(count)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guarded([&]() -> PyObject* {
        Circuit out;
        if (!repeated(circuit_ref(self), count, out)) {
            return nullptr;
        }
        return new_circuit(std::move(out));
    });
}

PyObject* circuit_inplace_multiply(PyObject* self, PyObject* count) {
    if (!PyIndex_Check(count)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guarded([&]() -> PyObject* {
        Circuit out;
        if (!repeated(circuit_ref(self), count, out)) {
            return nullptr;
        }
        changing(self) = std::move(out);
        return Py_NewRef(self);
    });
}

template <std::uint64_t (Circuit::*Count)() const>
PyObject* circuit_count(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong((circuit_ref(self).*Count)()); });
}

PyMethodDef circuit_methods[] = {
    {"from_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&circuit_from_file)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($type, path)\n--\n\nRead a circuit from a file: OpenQASM 2.0 when its first word "
     "is OPENQASM, the stim circuit format otherwise."},
    {"from_qasm", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&circuit_from_qasm)),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_qasm($type, text)\n--\n\nRead an OpenQASM 2.0 program whose gates are Clifford "
     "gates; `if` may guard any of them."},
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&circuit_append)),
     METH_FASTCALL | METH_KEYWORDS,
     "append($self, name, targets=(), args=(), *, tag='')\n--\n\nAppend an instruction: a name "
     "of the stim format with its targets (ints for qubits, GateTarget objects, or text such as "
     "'rec[-1]', '!3', 'X2', '*') and its arguments; or a CircuitInstruction, "
     "CircuitRepeatBlock or CircuitIfBlock. Merges into the last instruction where the format "
     "does."},
    {"copy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&circuit_copy)),
     METH_FASTCALL | METH_KEYWORDS, "copy($self)\n--\n\nReturn an independent copy."},
    {"__copy__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&circuit_copy)),
     METH_FASTCALL | METH_KEYWORDS, "__copy__($self, /)\n--\n\nThe same as `copy()`."},
    {"__deepcopy__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&circuit_deepcopy)),
     METH_FASTCALL | METH_KEYWORDS, "__deepcopy__($self, memo, /)\n--\n\nThe same as `copy()`."},
    {"compile_sampler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&circuit_compile_sampler)),
     METH_FASTCALL | METH_KEYWORDS,
     "compile_sampler($self, *, seed=None)\n--\n\nA `MeasurementSampler` of this circuit: "
     "its `sample(shots)` returns many shots of the measurement record at once. A seed makes "
     "its calls replay."},
    {"compile_detector_sampler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&circuit_compile_detector_sampler)),
     METH_FASTCALL | METH_KEYWORDS,
     "compile_detector_sampler($self, *, seed=None)\n--\n\nA `DetectorSampler` of this "
     "circuit: its `sample(shots)` returns many shots of detection events and observable "
     "flips at once. A seed makes its calls replay."},
    {"__reduce__", &circuit_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nSupport for pickle: the circuit as its canonical text."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef circuit_properties[] = {
    {"num_qubits", &circuit_count<&Circuit::num_qubits>, nullptr,
     "One more than the largest qubit index the circuit uses.", nullptr},
    {"num_measurements", &circuit_count<&Circuit::num_measurements>, nullptr,
     "The number of measurement record entries a run of the circuit writes.", nullptr},
    {"num_detectors", &circuit_count<&Circuit::num_detectors>, nullptr,
     "The number of DETECTOR annotations a run passes.", nullptr},
    {"num_observables", &circuit_count<&Circuit::num_observables>, nullptr,
     "One more than the largest OBSERVABLE_INCLUDE index.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kCircuitDoc[] =
    "Circuit(text='')\n--\n\nA stabilizer circuit in the stim circuit file format: gates, "
    "measurements, resets, noise, annotations and REPEAT blocks, plus IF blocks for classical "
    "control of any Clifford gate.\n\n`str()` gives canonical text, which reads back as an "
    "equal circuit. `Lumora.do(circuit)` runs it.";

// --- GateTarget

PyObject* target_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kValue[] = {"value"};
        static constexpr CallableDesc kNew{"GateTarget", "__new__", kValue, 1};
        PyObject* bound[1] = {};
        Target t;
        if (!bind_tuple_dict(kNew, args, kwargs, bound) || !to_target(bound[0], t, "value")) {
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self != nullptr) {
            as<TargetObject>(self)->target = t;
        }
        return self;
    });
}

const Target& target_ref(PyObject* self) {
    return as<TargetObject>(self)->target;
}

PyObject* target_str(PyObject* self) {
    return guarded([&] { return text(circuit::target_to_text(target_ref(self))); });
}

PyObject* target_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        Ref value(text(circuit::target_to_text(target_ref(self))));
        return value ? PyUnicode_FromFormat("lumora.GateTarget(%R)", value.get()) : nullptr;
    });
}

PyObject* target_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    bool equal;
    if (PyObject_TypeCheck(other, module_state().gate_target)) {
        equal = target_ref(self) == target_ref(other);
    } else if (PyLong_Check(other)) {
        // A plain qubit target equals its index.
        const Target& t = target_ref(self);
        const long long value = PyLong_AsLongLong(other);
        if (value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            equal = false;
        } else {
            equal = t.kind == Target::Kind::qubit && !t.inverted && value >= 0 &&
                    static_cast<unsigned long long>(value) == t.value;
        }
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t target_hash(PyObject* self) {
    const Target& t = target_ref(self);
    if (t.kind == Target::Kind::qubit && !t.inverted) {
        return static_cast<Py_hash_t>(t.value);  // equal to its index, hashed alike
    }
    const std::uint64_t mixed = (std::uint64_t{t.value} << 16) ^ (std::uint64_t(t.kind) << 8) ^
                                (t.inverted ? 0x80u : 0u) ^ static_cast<unsigned char>(t.pauli);
    const Py_hash_t h = static_cast<Py_hash_t>(mixed * 0x9E3779B97F4A7C15ull >> 1);
    return h == -1 ? -2 : h;
}

PyObject* target_value(PyObject* self, void*) {
    const Target& t = target_ref(self);
    if (t.kind == Target::Kind::record) {
        return PyLong_FromLongLong(-static_cast<long long>(t.value));
    }
    return PyLong_FromUnsignedLong(t.value);
}

template <Target::Kind K>
PyObject* target_is(PyObject* self, void*) {
    return PyBool_FromLong(target_ref(self).kind == K);
}

PyObject* target_is_inverted(PyObject* self, void*) {
    return PyBool_FromLong(target_ref(self).inverted);
}

PyObject* target_pauli_type(PyObject* self, void*) {
    const char p = target_ref(self).pauli;
    return PyUnicode_FromStringAndSize(p != 0 ? &p : "I", 1);
}

PyGetSetDef target_properties[] = {
    {"value", &target_value, nullptr,
     "The qubit index, sweep bit index, or -k for rec[-k] (0 for a combiner).", nullptr},
    {"is_qubit_target", &target_is<Target::Kind::qubit>, nullptr, "A qubit (maybe inverted).",
     nullptr},
    {"is_measurement_record_target", &target_is<Target::Kind::record>, nullptr, "rec[-k].",
     nullptr},
    {"is_sweep_bit_target", &target_is<Target::Kind::sweep>, nullptr, "sweep[k].", nullptr},
    {"is_pauli_target", &target_is<Target::Kind::pauli>, nullptr, "A Pauli such as X3.", nullptr},
    {"is_combiner", &target_is<Target::Kind::combiner>, nullptr, "The * of a Pauli product.",
     nullptr},
    {"is_inverted_result_target", &target_is_inverted, nullptr, "Written with a leading !.",
     nullptr},
    {"pauli_type", &target_pauli_type, nullptr, "'X', 'Y' or 'Z' for a Pauli target, else 'I'.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kTargetDoc[] =
    "GateTarget(value)\n--\n\nOne target of an instruction: a qubit (an int, or text such as "
    "'!3'), 'rec[-k]', 'sweep[k]', a Pauli such as 'X2', or '*'. Equal to the int of a plain "
    "qubit target.";

// --- CircuitInstruction

constexpr const char* kInstructionParams[] = {"name", "targets", "args", "tag"};

PyObject* instruction_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kNew{
            "CircuitInstruction", "__new__", kInstructionParams, 4, 3, 1};
        PyObject* bound[4] = {};
        Instruction op;
        if (!bind_tuple_dict(kNew, args, kwargs, bound) || !to_gate(bound[0], op.gate) ||
            !to_targets(bound[1], op.targets) || !to_args(bound[2], op.args) ||
            !to_tag(bound[3], op.tag)) {
            return nullptr;
        }
        if (op.gate == Gate::REPEAT || op.gate == Gate::IF) {
            PyErr_SetString(PyExc_ValueError,
                            "REPEAT and IF are CircuitRepeatBlock and CircuitIfBlock objects");
            return nullptr;
        }
        circuit::validate_instruction(op);
        PyObject* self = type->tp_alloc(type, 0);
        if (self != nullptr) {
            new (&as<InstructionObject>(self)->op) Instruction(std::move(op));
        }
        return self;
    });
}

const Instruction& instruction_ref(PyObject* self) {
    return as<InstructionObject>(self)->op;
}

PyObject* instruction_str(PyObject* self) {
    return guarded([&] { return text(circuit::instruction_to_text(instruction_ref(self))); });
}

PyObject* instruction_args(PyObject* self, void*);

PyObject* instruction_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const Instruction& op = instruction_ref(self);
        const std::string_view name = circuit::gate_info(op.gate).name;
        Ref name_text(
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        Ref targets(target_values(op.targets));
        Ref args;
        if (op.args.empty()) {
            args = Ref(PyUnicode_FromString(""));
        } else if (Ref values{instruction_args(self, nullptr)}) {
            args = Ref(PyUnicode_FromFormat(", %R", values.get()));
        }
        Ref tag(tag_argument(op.tag));
        if (!name_text || !targets || !args || !tag) {
            return nullptr;
        }
        return PyUnicode_FromFormat("lumora.CircuitInstruction(%R, %R%U%U)", name_text.get(),
                                    targets.get(), args.get(), tag.get());
    });
}

PyObject* instruction_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) ||
        !PyObject_TypeCheck(other, module_state().circuit_instruction)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const Instruction& a = instruction_ref(self);
    const Instruction& b = instruction_ref(other);
    const bool equal =
        a.gate == b.gate && a.args == b.args && a.targets == b.targets && a.tag == b.tag;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* targets_list(const std::vector<Target>& targets) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(targets.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < targets.size(); ++i) {
        PyObject* t = new_target(targets[i]);
        if (t == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
    }
    return list.release();
}

PyObject* instruction_name(PyObject* self, void*) {
    const std::string_view name = circuit::gate_info(instruction_ref(self).gate).name;
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* instruction_targets(PyObject* self, void*) {
    return guarded([&] { return targets_list(instruction_ref(self).targets); });
}

PyObject* instruction_args(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::vector<double>& values = instruction_ref(self).args;
        Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
        if (!list) {
            return nullptr;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            PyObject* v = PyFloat_FromDouble(values[i]);
            if (v == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
        }
        return list.release();
    });
}

PyObject* instruction_tag(PyObject* self, void*) {
    return guarded([&] { return text(instruction_ref(self).tag); });
}

PyGetSetDef instruction_properties[] = {
    {"name", &instruction_name, nullptr, "The canonical name, such as 'CX'.", nullptr},
    {"targets", &instruction_targets, nullptr, "The targets, as a list of GateTarget.", nullptr},
    {"args", &instruction_args, nullptr, "The parenthesised arguments, as a list of float.",
     nullptr},
    {"tag", &instruction_tag, nullptr, "The instruction's tag ('' for none).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kInstructionDoc[] =
    "CircuitInstruction(name, targets=(), args=(), *, tag='')\n--\n\nOne instruction of a "
    "circuit: its name, targets, arguments and tag.";

// --- CircuitRepeatBlock and CircuitIfBlock

constexpr const char* kRepeatParams[] = {"repeat_count", "body", "tag"};
constexpr const char* kIfParams[] = {"conditions", "body", "tag"};

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, Gate gate) {
    return guarded([&]() -> PyObject* {
        static constexpr CallableDesc kRepeat{
            "CircuitRepeatBlock", "__new__", kRepeatParams, 3, 2, 2};
        static constexpr CallableDesc kIf{"CircuitIfBlock", "__new__", kIfParams, 3, 2, 2};
        PyObject* bound[3] = {};
        if (!bind_tuple_dict(gate == Gate::REPEAT ? kRepeat : kIf, args, kwargs, bound)) {
            return nullptr;
        }
        const Circuit* body = circuit_of(bound[1], "body");
        if (body == nullptr) {
            return nullptr;
        }
        Instruction head;
        head.gate = gate;
        if (!to_tag(bound[2], head.tag)) {
            return nullptr;
        }
        if (gate == Gate::REPEAT) {
            std::size_t count;
            if (!extract_index(bound[0], "repeat_count", &count)) {
                return nullptr;
            }
            head.repeat_count = count;
        } else if (!to_targets(bound[0], head.targets)) {
            return nullptr;
        }
        circuit::validate_instruction(head);
        if (gate == Gate::IF) {
            circuit::check_if_body(*body);
        }
        if (circuit::nesting_depth(*body) >= circuit::kMaxNesting) {
            throw circuit::CircuitError("blocks would nest deeper than " +
                                        std::to_string(circuit::kMaxNesting) + " levels");
        }
        Ref copy(circuit_copy_of(*body));
        if (!copy) {
            return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self != nullptr) {
            new (&as<BlockObject>(self)->head) Instruction(std::move(head));
            as<BlockObject>(self)->body = copy.release();
        }
        return self;
    });
}

PyObject* repeat_block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return block_new(type, args, kwargs, Gate::REPEAT);
}

PyObject* if_block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return block_new(type, args, kwargs, Gate::IF);
}

const BlockObject& block_ref(PyObject* self) {
    return *as<BlockObject>(self);
}

PyObject* block_str(PyObject* self) {
    return guarded([&] { return text(circuit::to_stim_text(block_as_circuit(block_ref(self)))); });
}

PyObject* block_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const BlockObject& block = block_ref(self);
        const bool repeat = block.head.gate == Gate::REPEAT;
        Ref head(repeat ? PyLong_FromUnsignedLongLong(block.head.repeat_count)
                        : target_values(block.head.targets));
        Ref body(PyObject_Repr(block.body));
        Ref tag(tag_argument(block.head.tag));
        if (!head || !body || !tag) {
            return nullptr;
        }
        return PyUnicode_FromFormat("lumora.%s(%R, %U%U)",
                                    repeat ? "CircuitRepeatBlock" : "CircuitIfBlock", head.get(),
                                    body.get(), tag.get());
    });
}

PyObject* block_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const BlockObject& a = block_ref(self);
    const BlockObject& b = block_ref(other);
    const bool equal = a.head.repeat_count == b.head.repeat_count &&
                       a.head.targets == b.head.targets && a.head.tag == b.head.tag &&
                       circuit_ref(a.body) == circuit_ref(b.body);
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* block_name(PyObject* self, void*) {
    return PyUnicode_FromString(block_ref(self).head.gate == Gate::REPEAT ? "REPEAT" : "IF");
}

PyObject* block_repeat_count(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(block_ref(self).head.repeat_count);
}

PyObject* block_conditions(PyObject* self, void*) {
    return guarded([&] { return targets_list(block_ref(self).head.targets); });
}

PyObject* block_body(PyObject* self, void*) {
    return guarded([&] { return circuit_copy_of(circuit_ref(block_ref(self).body)); });
}

PyObject* block_tag(PyObject* self, void*) {
    return guarded([&] { return text(block_ref(self).head.tag); });
}

PyGetSetDef repeat_properties[] = {
    {"name", &block_name, nullptr, "'REPEAT'.", nullptr},
    {"repeat_count", &block_repeat_count, nullptr, "How many times the body runs.", nullptr},
    {"body", &block_body, nullptr, "A copy of the body, as a Circuit.", nullptr},
    {"tag", &block_tag, nullptr, "The block's tag ('' for none).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef if_properties[] = {
    {"name", &block_name, nullptr, "'IF'.", nullptr},
    {"conditions", &block_conditions, nullptr,
     "The record bits the body waits for: rec[-k] must be 1, !rec[-k] must be 0.", nullptr},
    {"body", &block_body, nullptr, "A copy of the body, as a Circuit.", nullptr},
    {"tag", &block_tag, nullptr, "The block's tag ('' for none).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kRepeatDoc[] =
    "CircuitRepeatBlock(repeat_count, body, *, tag='')\n--\n\nA REPEAT block: its body runs "
    "repeat_count times.";
constexpr const char kIfDoc[] =
    "CircuitIfBlock(conditions, body, *, tag='')\n--\n\nAn IF block (lumora's extension of the "
    "stim format): its body of Clifford gates runs when every condition holds.";

PyTypeObject* make_type(PyTypeObject* ModuleState::* slot, const char* qualified, const char* name,
                        int size, PyType_Slot* slots) {
    PyTypeObject*& kept = module_state().*slot;
    if (kept == nullptr) {
        kept = create_type(qualified, name, size, Py_TPFLAGS_DEFAULT, slots);
    }
    return kept;
}

}  // namespace

PyTypeObject* circuit_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kCircuitDoc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(&circuit_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&destroy<CircuitObject>)},
        {Py_tp_methods, circuit_methods},
        {Py_tp_getset, circuit_properties},
        {Py_tp_str, reinterpret_cast<void*>(&circuit_str)},
        {Py_tp_repr, reinterpret_cast<void*>(&circuit_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&circuit_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {Py_sq_length, reinterpret_cast<void*>(&circuit_length)},
        {Py_sq_item, reinterpret_cast<void*>(&circuit_item)},
        {Py_tp_iter, reinterpret_cast<void*>(&circuit_iter)},
        {Py_nb_add, reinterpret_cast<void*>(&circuit_add)},
        {Py_nb_inplace_add, reinterpret_cast<void*>(&circuit_inplace_add)},
        {Py_nb_multiply, reinterpret_cast<void*>(&circuit_multiply)},
        {Py_nb_inplace_multiply, reinterpret_cast<void*>(&circuit_inplace_multiply)},
        {0, nullptr},
    };
    return make_type(&ModuleState::circuit, "lumora.Circuit", "Circuit", sizeof(CircuitObject),
                     slots);
}

PyTypeObject* gate_target_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kTargetDoc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(&target_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&destroy<TargetObject>)},
        {Py_tp_getset, target_properties},
        {Py_tp_str, reinterpret_cast<void*>(&target_str)},
        {Py_tp_repr, reinterpret_cast<void*>(&target_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&target_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(&target_hash)},
        {0, nullptr},
    };
    return make_type(&ModuleState::gate_target, "lumora.GateTarget", "GateTarget",
                     sizeof(TargetObject), slots);
}

PyTypeObject* circuit_instruction_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kInstructionDoc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(&instruction_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&destroy<InstructionObject>)},
        {Py_tp_getset, instruction_properties},
        {Py_tp_str, reinterpret_cast<void*>(&instruction_str)},
        {Py_tp_repr, reinterpret_cast<void*>(&instruction_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&instruction_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {0, nullptr},
    };
    return make_type(&ModuleState::circuit_instruction, "lumora.CircuitInstruction",
                     "CircuitInstruction", sizeof(InstructionObject), slots);
}

PyTypeObject* circuit_repeat_block_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kRepeatDoc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(&repeat_block_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&block_dealloc)},
        {Py_tp_getset, repeat_properties},
        {Py_tp_str, reinterpret_cast<void*>(&block_str)},
        {Py_tp_repr, reinterpret_cast<void*>(&block_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&block_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {0, nullptr},
    };
    return make_type(&ModuleState::circuit_repeat_block, "lumora.CircuitRepeatBlock",
                     "CircuitRepeatBlock", sizeof(BlockObject), slots);
}

PyTypeObject* circuit_if_block_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kIfDoc)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_new, reinterpret_cast<void*>(&if_block_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&block_dealloc)},
        {Py_tp_getset, if_properties},
        {Py_tp_str, reinterpret_cast<void*>(&block_str)},
        {Py_tp_repr, reinterpret_cast<void*>(&block_repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(&block_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(&PyObject_HashNotImplemented)},
        {0, nullptr},
    };
    return make_type(&ModuleState::circuit_if_block, "lumora.CircuitIfBlock", "CircuitIfBlock",
                     sizeof(BlockObject), slots);
}

const Circuit* circuit_of(PyObject* object, const char* param) {
    if (!is_circuit(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a lumora.Circuit, got '%s'", param,
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    return &circuit_ref(object);
}

std::shared_ptr<const executor::Program> program_of(PyObject* object) {
    CircuitObject* c = as<CircuitObject>(object);
    if (!c->program) {
        c->program = executor::compile(c->circuit);
    }
    return c->program;
}

std::shared_ptr<const circuit::Circuit> shared_circuit_of(PyObject* object) {
    program_of(object);  // from now on a change copies the circuit first
    return as<CircuitObject>(object)->circuit;
}

}  // namespace lumora::py
