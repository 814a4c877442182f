"""Argument binding and conversion, qubit sets, access rules and engine failures."""

import itertools
import operator
import sys

import pytest

import lumora

from helpers import HookSet, Index, panics, peek_text

L = lumora.Lumora
BINDING = [
    (lambda s: L(), "Lumora.__new__() missing 1 required positional argument: 'qubit_amount'"),
    (lambda s: L(2, 3), "Lumora.__new__() takes 1 positional arguments but 2 were given"),
    (lambda s: L(2, qubit_amount=2), "Lumora.__new__() got multiple values for argument 'qubit_amount'"),
    (lambda s: s.cx(0), "Lumora.cx() missing 1 required positional argument: 'target'"),
    (lambda s: s.cx(target=0), "Lumora.cx() missing 1 required positional argument: 'control'"),
    (lambda s: s.cx(), "Lumora.cx() missing 2 required positional arguments: 'control' and 'target'"),
    (lambda s: s.cx(0, control=1), "Lumora.cx() got multiple values for argument 'control'"),
    (lambda s: s.cx("a", other=1), "Lumora.cx() got an unexpected keyword argument 'other'"),
    (lambda s: s.h(0, 1), "Lumora.h() takes 1 positional arguments but 2 were given"),
    (lambda s: s.h(1, q=0), "Lumora.h() got an unexpected keyword argument 'q'"),
    (lambda s: s.h(0, 1, q=0), "Lumora.h() takes 1 positional arguments but 2 were given"),
    (lambda s: s.peek_measure_set(), "Lumora.peek_measure_set() missing 1 required positional argument: 'qubits'"),
]
# a call with one bad argument, and the parameter it lands in
PARAMETERS = [
    (lambda s, a: L(a), "qubit_amount"),
    (lambda s, a: s.h(a), "qubit"),
    (lambda s, a: s.measure_y(a), "qubit"),
    (lambda s, a: s.get_entangled_group(a), "qubit"),
    (lambda s, a: s.cx(a, "b"), "control"),
    (lambda s, a: s.ycz(1, a), "target"),
    (lambda s, a: s.peek_measure_set({0, a}), "qubits"),
]


class IntWithIndex(int):
    def __index__(self):
        return 0


@pytest.mark.parametrize("call,message", BINDING)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(L(2))
    assert type(info.value) is TypeError and str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.cx(0, 1),
        lambda s: s.cx(0, target=1),
        lambda s: s.cx(control=0, target=1),
        lambda s: s.cx(target=1, control=0),
    ],
)
def test_keywords_bind_by_name(call):
    sim = L(qubit_amount=2)
    sim.x(0)
    assert call(sim) is None
    assert peek_text(sim, {0, 1}) == {0: "(Z, -1)", 1: "(Z, -1)"}


def test_integer_like_arguments():
    sim = L(Index(4))
    sim.h(True)
    sim.x(qubit=Index(2))
    sim.y(IntWithIndex(3))  # an int subclass is taken by value, its __index__ is not consulted
    assert peek_text(sim, range(4)) == {0: "(Z, +1)", 1: "(X, +1)", 2: "(Z, -1)", 3: "(Z, -1)"}


@pytest.mark.parametrize("call,name", PARAMETERS)
@pytest.mark.parametrize("bad", [2.0, "a", None, b"\x01", 1j, (0,), "index returning str"])
def test_non_integer_arguments(call, name, bad):
    bad = Index("3") if bad == "index returning str" else bad
    with pytest.raises(TypeError) as expected:
        operator.index(bad)
    with pytest.raises(TypeError) as info:
        call(L(2), bad)
    assert type(info.value) is TypeError and str(info.value) == f"argument '{name}': {expected.value}"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("call,name", PARAMETERS)
@pytest.mark.parametrize("bad", [-1, -(2**70), 2**64, 2**100, "index -1", "index 2**64"])
def test_out_of_range_integers(call, name, bad):
    bad = Index({"index -1": -1, "index 2**64": 2**64}[bad]) if isinstance(bad, str) else bad
    with pytest.raises(OverflowError) as info:
        call(L(2), bad)
    assert type(info.value) is OverflowError and not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "kind", [TypeError, ValueError, OverflowError, RuntimeError, type("SubTypeError", (TypeError,), {})]
)
@pytest.mark.parametrize(
    "call,name",
    [
        (lambda s, i: s.h(i), "qubit"),
        (lambda s, i: s.peek_measure_set({i}), "qubits"),
        (lambda s, i: s.peek_measure_set(HookSet({0}, i.__index__)), "qubits"),
    ],
)
def test_errors_raised_by_user_code(kind, call, name):
    error, root = kind("boom"), ValueError("root")

    def fail():
        raise error from root

    with pytest.raises(kind) as info:
        call(L(2), Index(0, fail))
    if kind is TypeError:  # exactly TypeError: rewritten with the parameter name, cause kept
        assert type(info.value) is TypeError and str(info.value) == f"argument '{name}': boom"
    else:
        assert info.value is error
    assert info.value.__cause__ is root


@pytest.mark.parametrize("kind", [set, frozenset, type("SetSub", (set,), {}), type("FrozenSub", (frozenset,), {})])
def test_qubit_set_kinds(kind):
    sim = L(3)
    sim.x(1)
    result = sim.peek_measure_set(kind({True, 2}))
    assert type(result) is dict and all(type(k) is int for k in result)
    assert {q: str(o) for q, o in result.items()} == {1: "(Z, -1)", 2: "(Z, +1)"}


@pytest.mark.parametrize(
    "value,type_name",
    [([0, 1], "list"), ((0,), "tuple"), ({0: 1}, "dict"), ({0: 1}.keys(), "dict_keys"), (0, "int"), (None, "NoneType")],
)
def test_qubit_set_rejects_other_containers(value, type_name):
    with pytest.raises(TypeError) as info:
        L(2).peek_measure_set(value)
    assert str(info.value) == f"argument 'qubits': '{type_name}' object cannot be cast as 'set'"


# re-entrant calls from inside a conversion: an argument's __index__ or a qubit set's __iter__
OUTER = {
    "gate": (True, lambda s, arg, items: s.h(arg)),
    "two-qubit gate": (True, lambda s, arg, items: s.cx(1, arg)),
    "measurement": (True, lambda s, arg, items: s.measure_x(arg)),
    "group": (False, lambda s, arg, items: s.get_entangled_group(arg)),
    "peek element": (False, lambda s, arg, items: s.peek_measure_set({arg})),
    "peek iteration": (False, lambda s, arg, items: s.peek_measure_set(items)),
}
INNER = {
    "gate": (True, lambda s: s.x(0)),
    "measurement": (True, lambda s: s.measure_y(0)),
    "group": (False, lambda s: s.get_entangled_group(0)),
    "peek": (False, lambda s: s.peek_measure_set({0})),
}


@pytest.mark.parametrize("outer,inner", list(itertools.product(OUTER, INNER)))
def test_reentrant_calls(outer, inner):
    sim = L(2)
    (outer_exclusive, outer_call), (inner_exclusive, inner_call) = OUTER[outer], INNER[inner]
    arg, items = Index(0, lambda: inner_call(sim)), HookSet({0}, lambda: inner_call(sim))
    if inner_exclusive or outer_exclusive:
        with pytest.raises(RuntimeError) as info:
            outer_call(sim, arg, items)
        assert type(info.value) is RuntimeError
        assert str(info.value) == ("Already borrowed" if inner_exclusive else "Already mutably borrowed")
        assert peek_text(sim, {0, 1}) == {0: "(Z, +1)", 1: "(Z, +1)"}  # nothing ran
    else:
        outer_call(sim, arg, items)
        seen = arg.seen if arg.seen is not None else items.seen
        assert seen == {0} if inner == "group" else {q: str(o) for q, o in seen.items()} == {0: "(Z, +1)"}
    sim.h(0)  # access was released
    assert peek_text(sim, {0}) == {0: "(X, +1)"}


def test_nested_calls_on_another_object_and_binding_before_access():
    sim, other = L(1), L(1)
    sim.h(Index(0, lambda: other.x(0)))
    assert peek_text(other, {0}) == {0: "(Z, -1)"}
    with pytest.raises(TypeError) as info:  # the inner binding error, not an access error, gets the prefix
        sim.h(Index(0, lambda: sim.h()))
    assert str(info.value) == "argument 'qubit': Lumora.h() missing 1 required positional argument: 'qubit'"


def test_panic_exception(capfd):
    sim, message = L(3), "index out of bounds: the len is 3 but the index is 3"

    def swallow_ordinary_errors():
        try:
            sim.h(3)
        except Exception:
            return "caught"

    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        swallow_ordinary_errors()
    assert message in capfd.readouterr().err
    panic, names = type(info.value), ("pyo3_runtime", "PanicException", "PanicException")
    assert (panic.__module__, panic.__name__, panic.__qualname__) == names and panic.__bases__ == (BaseException,)
    assert isinstance(panic.__doc__, str) and panic.__doc__.strip() and not hasattr(lumora, "PanicException")
    assert str(info.value) == message and info.value.args == (message,)
    with pytest.raises(panic):  # one exception type for every failure
        L(0).get_entangled_group(0)
    sim.h(2)  # still usable
    assert sim.peek_measure_set({2})[2].axis == lumora.Axis.X


@pytest.mark.skipif(sys.maxsize < 2**32, reason="sizes for a 64-bit address space")
@pytest.mark.parametrize("amount", [2**32, 2**40, 2**58 - 1, 2**58, 2**62, 2**64 - 1])
def test_impossible_sizes(amount):
    """Above 2**32 - 1 qubits a register cannot be indexed: one clear error naming the limit; from 2**58 on the
    records would not fit half of any address space, which stays the engine failure "capacity overflow"."""
    if amount >= 2**58:
        with panics("capacity overflow"):
            L(amount)
    else:
        with pytest.raises(ValueError) as info:
            L(amount)
        assert str(info.value) == f"qubit_amount {amount} is more than a simulator can hold (at most 4294967295 qubits)"
