"""Module object, class objects and their documented surface."""

import importlib
import importlib.metadata
import sys
import types
import weakref

import pytest

import lumora

from helpers import run_python

CLASSES = ["MeasurementResult", "Outcome", "Axis", "Lumora"]
# the circuit classes come after the simulator's, in this order
CIRCUIT_CLASSES = [
    "Circuit",
    "GateTarget",
    "CircuitInstruction",
    "CircuitRepeatBlock",
    "CircuitIfBlock",
    "MeasurementSampler",
    "DetectorSampler",
]
CLASS_DOCS = {
    "MeasurementResult": "Result of a single-qubit measurement.\n\nExposed to Python as `lumora.MeasurementResult`.",
    "Outcome": "Measurement outcome and the axis that was measured.\n\nReturned in the values of `peek_measure_set`.",
    "Axis": None,
    "Lumora": "Simulator for graph states over a fixed number of qubits.\n\n"
    "Use this class from Python to apply gates and perform measurements.",
}
INSTANCES = {
    "MeasurementResult": lambda: lumora.MeasurementResult.MinusOne,
    "Axis": lambda: lumora.Axis.Y,
    "Outcome": lambda: lumora.Lumora(1).peek_measure_set({0})[0],
    "Lumora": lambda: lumora.Lumora(1),
}
GATES = {
    "x": "an X (Pauli-X)",
    "y": "a Y (Pauli-Y)",
    "z": "a Z (Pauli-Z)",
    "h": "an H (Hadamard)",
    "s": "an S (phase)",
    "sdag": "an S\u2020 (inverse phase)",
}
CONTROLLED = {
    "cz": "a controlled-Z (CZ) gate with `control` and `target` qubits",
    "cx": "a controlled-X (CX) / CNOT gate with `control` and `target`",
    "xcx": "an X-controlled X gate (CX in the X basis)",
    "ycx": "a Y-controlled X gate (control qubit in the Y basis)",
    "xcz": "an X-controlled Z gate (target in X basis)",
    "ycz": "a Y-controlled Z gate (target in Y basis)",
    "cy": "a controlled-Y (CY) gate with `control` and `target`",
    "xcy": "an X-controlled Y gate (control in X basis)",
    "ycy": "a Y-controlled Y gate (both in Y basis)",
}
# method table in registration order: name, text signature, docstring
METHODS = (
    [
        (g, "($self, qubit)", f"Apply {d} gate to the given qubit.\n\n`node` is the index of the qubit.")
        for g, d in GATES.items()
    ]
    + [(g, "($self, control, target)", f"Apply {d}.") for g, d in CONTROLLED.items()]
    + [
        (
            f"measure_{a}",
            "($self, qubit)",
            f"Perform a projective measurement of `qubit` in the {a.upper()} basis."
            "\n\nReturns `MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`.",
        )
        for a in "xyz"
    ]
    + [
        (
            "get_entangled_group",
            "($self, qubit)",
            "Return the set of qubits that are entangled with `qubit`.\n\n"
            "This follows adjacency in the underlying graph.",
        ),
        (
            "peek_measure_set",
            "($self, qubits)",
            "Simulate measurements on a set of `qubits` without modifying the "
            "real state.\n\nReturns a map from qubit index to `Outcome` (result and axis used).",
        ),
    ]
)


def test_module_attributes(monkeypatch):
    assert lumora.__doc__ == "Graph-state based quantum circuit simulator exposed as the `lumora` Python module."
    assert type(lumora.__all__) is list and lumora.__all__ == CLASSES + CIRCUIT_CLASSES
    # the classes are the whole public surface: no functions, no exception type
    assert sorted(k for k in vars(lumora) if not k.startswith("_")) == sorted(CLASSES + CIRCUIT_CLASSES)
    monkeypatch.delitem(sys.modules, "lumora")
    assert importlib.import_module("lumora") is lumora
    assert lumora.__all__ == CLASSES + CIRCUIT_CLASSES  # registration did not run again
    found = [k for k, v in vars(lumora.Lumora).items() if isinstance(v, types.MethodDescriptorType)]
    # method table order: the original methods, then the copying, pickling and inspection ones
    assert found == [name for name, _, _ in METHODS] + [
        "copy",
        "__copy__",
        "__deepcopy__",
        "__reduce__",
        "stabilizers",
        "graph",
        "to_networkx",
        "do",
    ]


def test_version_is_the_distribution_version():
    assert isinstance(lumora.__version__, str) and lumora.__version__[0].isdigit()
    try:
        installed = importlib.metadata.version("lumora")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("lumora is imported from a build tree, not installed")
    assert lumora.__version__ == installed


SUBINTERPRETER = r"""
import importlib.util, sys
import lumora
names = [m for m in ("_interpreters", "_xxsubinterpreters") if importlib.util.find_spec(m)]
try:  # a legacy interpreter where possible, so that the module's own guard is what refuses
    interp = importlib.import_module(names[0])
    if hasattr(interp, "new_config"):
        iid = interp.create(interp.new_config("legacy"))
    else:
        try:
            iid = interp.create(isolated=False)
        except TypeError:
            iid = interp.create()
except (IndexError, AttributeError, ValueError):
    sys.exit(print("unavailable"))
interp.run_string(iid, "import sys\nsys.path[:0] = %r\ntry:\n    import lumora\n    msg = 'imported'\n"
                  "except ImportError as exc:\n    msg = 'ImportError: ' + str(exc)\n"
                  "open(%r, 'w').write(msg)\n" % (sys.path, sys.argv[1]))
interp.destroy(iid)
print("done" if lumora.Lumora(1).h(0) is None else "broken")
"""


def test_second_interpreter_is_refused(tmp_path):
    out = tmp_path / "result.txt"
    proc = run_python("-c", SUBINTERPRETER, str(out), timeout=120)
    if proc.stdout.strip() == "unavailable":
        pytest.skip("this interpreter offers no sub-interpreters")
    assert (proc.returncode, proc.stdout.strip()) == (0, "done"), proc.stderr
    message = out.read_text()
    assert message.startswith("ImportError: ") and "interpreter" in message.lower()


@pytest.mark.parametrize("name", CLASSES)
def test_class_objects(name, monkeypatch):
    cls = getattr(lumora, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__, cls.__bases__) == ("lumora", name, name, (object,))
    assert cls.__doc__ == CLASS_DOCS[name]
    assert cls.__text_signature__ == ("(qubit_amount, *, seed=None)" if name == "Lumora" else None)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    monkeypatch.setattr(cls, "note", name, raising=False)  # type objects stay writable
    monkeypatch.setattr(cls, "__doc__", "replaced")
    assert (cls.note, cls.__doc__) == (name, "replaced")
    obj = INSTANCES[name]()
    assert type(obj) is cls and not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    if name != "Lumora":
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize("name,signature,doc", METHODS)
def test_methods(name, signature, doc):
    method = getattr(lumora.Lumora, name)
    assert (method.__text_signature__, method.__doc__) == (signature, doc)
    assert method.__qualname__ == f"Lumora.{name}"
    with pytest.raises(TypeError, match=f"descriptor '{name}'"):
        method(5, 0)  # the receiver is checked before binding
