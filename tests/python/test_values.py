"""Result value classes: MeasurementResult, Axis, Outcome."""

import operator
import pickle

import pytest

import lumora

from helpers import Index

A, M = lumora.Axis, lumora.MeasurementResult
MEMBERS = [(A, "X", 0), (A, "Y", 1), (A, "Z", 2), (M, "PlusOne", 0), (M, "MinusOne", 1)]


@pytest.mark.parametrize("cls,name,value", MEMBERS)
def test_member(cls, name, value):
    member = getattr(cls, name)
    assert type(member) is cls and member is getattr(cls, name)
    assert int(member) == value and type(int(member)) is int
    assert repr(member) == str(member) == f"{cls.__name__}.{name}"
    assert bool(member) is True  # no truth method, even for value 0
    with pytest.raises(TypeError):
        operator.getitem([10, 20, 30], member)  # no __index__
    assert member == value and value == member and not member != value
    assert member != value + 1 and not value + 1 == member
    assert member == Index(value) and member != Index(value + 1)
    assert (member == True) is (value == 1) and (member == False) is (value == 0)  # noqa: E712
    for other in [v for v in vars(A).values() if type(v) is A] + [M.PlusOne, M.MinusOne]:
        assert (member == other) is (other is member or (type(other) is cls and int(other) == value))
        assert (member != other) is not (member == other)
    # values that do not convert compare unequal and raise nothing
    for other in [None, name, float(value), str(value), 2**70, -(2**70), (value,), Index(value, lambda: 1 / 0)]:
        assert (member == other) is False and (member != other) is True
    for op in [operator.lt, operator.le, operator.gt, operator.ge]:
        for left, right in [(member, member), (member, value), (value, member)]:
            with pytest.raises(TypeError):
                op(left, right)
    assert cls.__hash__ is None
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        _ = {member}


@pytest.mark.parametrize("cls,names", [(A, ["X", "Y", "Z"]), (M, ["PlusOne", "MinusOne"])])
def test_class_attribute_order(cls, names):
    assert [k for k, v in vars(cls).items() if type(v) is cls] == names


def test_outcome():
    sim = lumora.Lumora(1)
    sim.x(0)
    outcome, again = sim.peek_measure_set({0})[0], sim.peek_measure_set({0})[0]
    assert type(outcome) is lumora.Outcome and str(outcome) == str(again) == "(Z, -1)"
    assert repr(outcome).startswith("<lumora.Outcome object at 0x")
    assert type(outcome.result) is M and outcome.result == M.MinusOne and outcome.result == 1
    assert type(outcome.axis) is A and outcome.axis == A.Z and outcome.axis == 2
    assert outcome.result is not outcome.result and outcome.axis is not outcome.axis
    for field in ("result", "axis"):
        assert vars(lumora.Outcome)[field].__doc__ is None
        with pytest.raises(AttributeError):
            setattr(outcome, field, 0)
        with pytest.raises(AttributeError):
            delattr(outcome, field)
    # no comparison or hash of its own: identity semantics
    assert outcome == outcome and outcome != again and len({outcome, again}) == 2
    with pytest.raises(TypeError):
        operator.lt(outcome, again)


def test_values_cross_process_boundaries():
    """Members, and Outcomes, pickle to equal values under every protocol, whether they are class attributes or
    results: a process pool can return them."""
    sim = lumora.Lumora(3)
    sim.h(0)
    sim.cx(0, 1)
    values = [M.PlusOne, M.MinusOne, A.X, A.Y, A.Z, sim.measure_x(2), sim.peek_measure_set({0})[0].axis]
    outcomes = sim.peek_measure_set({0, 1, 2})
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        for value in values:
            again = pickle.loads(pickle.dumps(value, protocol))
            assert type(again) is type(value) and again == value and int(again) == int(value)
        again = pickle.loads(pickle.dumps(outcomes, protocol))
        assert {q: str(o) for q, o in again.items()} == {q: str(o) for q, o in outcomes.items()}
        assert all(type(o) is lumora.Outcome for o in again.values())
