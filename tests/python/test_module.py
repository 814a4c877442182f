"""Module object, class objects and their documented surface."""
import importlib
import subprocess
import sys
import types
import weakref

import pytest

import lumora

CLASSES = ["MeasurementResult", "Outcome", "Axis", "Lumora"]

CLASS_DOCS = {
    "MeasurementResult": "Result of a single-qubit measurement.\n\n"
    "Exposed to Python as `lumora.MeasurementResult`.",
    "Outcome": "Measurement outcome and the axis that was measured.\n\n"
    "Returned in the values of `peek_measure_set`.",
    "Axis": None,
    "Lumora": "Simulator for graph states over a fixed number of qubits.\n\n"
    "Use this class from Python to apply gates and perform measurements.",
}

INSTANCES = {
    "MeasurementResult": lambda: lumora.MeasurementResult.MinusOne,
    "Outcome": lambda: lumora.Lumora(1).peek_measure_set({0})[0],
    "Axis": lambda: lumora.Axis.Y,
    "Lumora": lambda: lumora.Lumora(1),
}

GATE_DOC = "Apply {} gate to the given qubit.\n\n`node` is the index of the qubit."
MEASURE_DOC = ("Perform a projective measurement of `qubit` in the {} basis.\n\n"
               "Returns `MeasurementResult.PlusOne` or `MeasurementResult.MinusOne`.")
ONE, TWO = "($self, qubit)", "($self, control, target)"

# Method table in registration order: name, text signature, docstring.
METHODS = [
    ("x", ONE, GATE_DOC.format("an X (Pauli-X)")),
    ("y", ONE, GATE_DOC.format("a Y (Pauli-Y)")),
    ("z", ONE, GATE_DOC.format("a Z (Pauli-Z)")),
    ("h", ONE, GATE_DOC.format("an H (Hadamard)")),
    ("s", ONE, GATE_DOC.format("an S (phase)")),
    ("sdag", ONE, GATE_DOC.format("an S\u2020 (inverse phase)")),
    ("cz", TWO, "Apply a controlled-Z (CZ) gate with `control` and `target` qubits."),
    ("cx", TWO, "Apply a controlled-X (CX) / CNOT gate with `control` and `target`."),
    ("xcx", TWO, "Apply an X-controlled X gate (CX in the X basis)."),
    ("ycx", TWO, "Apply a Y-controlled X gate (control qubit in the Y basis)."),
    ("xcz", TWO, "Apply an X-controlled Z gate (target in X basis)."),
    ("ycz", TWO, "Apply a Y-controlled Z gate (target in Y basis)."),
    ("cy", TWO, "Apply a controlled-Y (CY) gate with `control` and `target`."),
    ("xcy", TWO, "Apply an X-controlled Y gate (control in X basis)."),
    ("ycy", TWO, "Apply a Y-controlled Y gate (both in Y basis)."),
    ("measure_x", ONE, MEASURE_DOC.format("X")),
    ("measure_y", ONE, MEASURE_DOC.format("Y")),
    ("measure_z", ONE, MEASURE_DOC.format("Z")),
    ("get_entangled_group", ONE, "Return the set of qubits that are entangled with `qubit`.\n\n"
     "This follows adjacency in the underlying graph."),
    ("peek_measure_set", "($self, qubits)",
     "Simulate measurements on a set of `qubits` without modifying the real state.\n\n"
     "Returns a map from qubit index to `Outcome` (result and axis used)."),
]


def test_module_attributes():
    assert lumora.__name__ == "lumora"
    assert lumora.__doc__ == ("Graph-state based quantum circuit simulator exposed as the "
                              "`lumora` Python module.")
    assert type(lumora.__all__) is list and lumora.__all__ == CLASSES
    # the four classes are the whole public surface: no functions, no exception type
    assert sorted(k for k in vars(lumora) if not k.startswith("_")) == sorted(CLASSES)
    assert all(isinstance(getattr(lumora, name), type) for name in CLASSES)


def test_reimport_returns_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "lumora")
    again = importlib.import_module("lumora")
    assert again is lumora
    assert again.__all__ == CLASSES  # registration did not run a second time


SUBINTERPRETER = r"""
import sys
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        print("unavailable")
        raise SystemExit(0)
import lumora

code = ("import sys\nsys.path[:0] = %r\ntry:\n    import lumora\n    msg = 'imported'\n"
        "except ImportError as exc:\n    msg = 'ImportError: ' + str(exc)\n"
        "open(%r, 'w').write(msg)\n" % (sys.path, sys.argv[1]))
try:
    if hasattr(interpreters, "new_config"):
        iid = interpreters.create(interpreters.new_config("legacy"))
    else:
        try:
            iid = interpreters.create(isolated=False)
        except TypeError:
            iid = interpreters.create()
except (AttributeError, TypeError, ValueError):
    print("unavailable")
    raise SystemExit(0)
interpreters.run_string(iid, code)
interpreters.destroy(iid)
lumora.Lumora(1).h(0)
print("done")
"""


def test_second_interpreter_is_refused(tmp_path):
    out = tmp_path / "result.txt"
    proc = subprocess.run([sys.executable, "-c", SUBINTERPRETER, str(out)],
                          capture_output=True, text=True, timeout=120)
    if proc.stdout.strip() == "unavailable":
        pytest.skip("this interpreter offers no sub-interpreters")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "done"
    message = out.read_text()
    assert message.startswith("ImportError: ") and "interpreter" in message.lower()


@pytest.mark.parametrize("name", CLASSES)
def test_class_objects(name, monkeypatch):
    cls = getattr(lumora, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("lumora", name, name)
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == CLASS_DOCS[name]
    assert cls.__text_signature__ == ("(qubit_amount)" if name == "Lumora" else None)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    # type objects are ordinary: attributes can be added, replaced and removed
    monkeypatch.setattr(cls, "note", name, raising=False)
    assert cls.note == name
    monkeypatch.setattr(cls, "__doc__", "replaced")
    assert cls.__doc__ == "replaced"


@pytest.mark.parametrize("name", CLASSES)
def test_instances_take_no_attributes_or_weakrefs(name):
    obj = INSTANCES[name]()
    assert type(obj) is getattr(lumora, name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("name", ["MeasurementResult", "Outcome", "Axis"])
def test_value_classes_cannot_be_instantiated(name):
    with pytest.raises(TypeError):
        getattr(lumora, name)()


def test_method_table_order():
    found = [k for k, v in vars(lumora.Lumora).items() if isinstance(v, types.MethodDescriptorType)]
    assert found == [name for name, _, _ in METHODS]


@pytest.mark.parametrize("name,signature,doc", METHODS)
def test_method_signature_and_doc(name, signature, doc):
    method = getattr(lumora.Lumora, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    assert method.__qualname__ == f"Lumora.{name}"


@pytest.mark.parametrize("name", [m[0] for m in METHODS])
def test_receiver_is_checked_by_the_descriptor(name):
    with pytest.raises(TypeError, match=f"descriptor '{name}'"):
        getattr(lumora.Lumora, name)(5, 0)
