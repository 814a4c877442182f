"""Result value classes: MeasurementResult, Axis, Outcome."""
import operator

import pytest

import lumora

A, M = lumora.Axis, lumora.MeasurementResult
MEMBERS = [(A, "X", 0), (A, "Y", 1), (A, "Z", 2), (M, "PlusOne", 0), (M, "MinusOne", 1)]
ORDERINGS = [operator.lt, operator.le, operator.gt, operator.ge]


@pytest.mark.parametrize("cls,name,value", MEMBERS)
def test_member_values(cls, name, value):
    member = getattr(cls, name)
    assert type(member) is cls and member is getattr(cls, name)
    assert int(member) == value and type(int(member)) is int
    assert repr(member) == str(member) == f"{cls.__name__}.{name}"
    assert bool(member) is True  # no truth method, even for value 0
    with pytest.raises(TypeError):
        [10, 20, 30][member]  # no __index__


@pytest.mark.parametrize("cls,name,value", MEMBERS)
def test_member_equality(cls, name, value, kit):
    member = getattr(cls, name)
    assert member == member and not member != member
    assert member == value and value == member and not member != value
    assert member != value + 1 and not value + 1 == member
    assert member == kit.Index(value) and member != kit.Index(value + 1)
    assert (member == True) is (value == 1) and (member == False) is (value == 0)  # noqa: E712
    for other in cls.__dict__.values():
        if type(other) is cls:
            assert (member == other) is (int(other) == value)
            assert (member != other) is (int(other) != value)
    # values that do not convert compare unequal without an error
    for other in [None, name, float(value), str(value), 2**70, -2**70, [value], object()]:
        assert (member == other) is False and (member != other) is True
    assert (member == kit.Index(value, hook=lambda: 1 / 0)) is False


def test_classes_never_compare_equal_to_each_other():
    for axis in (A.X, A.Y, A.Z):
        for result in (M.PlusOne, M.MinusOne):
            assert axis != result and not axis == result
            assert result != axis and not result == axis


@pytest.mark.parametrize("cls,name,value", MEMBERS)
def test_members_are_unordered_and_unhashable(cls, name, value):
    member = getattr(cls, name)
    for op in ORDERINGS:
        for left, right in [(member, member), (member, value), (value, member)]:
            with pytest.raises(TypeError):
                op(left, right)
    assert cls.__hash__ is None
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}


@pytest.mark.parametrize("cls,names", [(A, ["X", "Y", "Z"]), (M, ["PlusOne", "MinusOne"])])
def test_class_attribute_order(cls, names):
    assert [k for k, v in vars(cls).items() if type(v) is cls] == names


# gates on a fresh qubit and the state they leave: one case per axis and sign
OUTCOMES = [((), 2, 0), (("x",), 2, 1), (("h",), 0, 0), (("h", "z"), 0, 1),
            (("h", "s"), 1, 0), (("h", "sdag"), 1, 1)]


@pytest.mark.parametrize("gates,axis,bit", OUTCOMES)
def test_outcome(gates, axis, bit):
    sim = lumora.Lumora(1)
    for gate in gates:
        getattr(sim, gate)(0)
    outcome = sim.peek_measure_set({0})[0]
    assert type(outcome) is lumora.Outcome
    assert str(outcome) == f"({'XYZ'[axis]}, {'+-'[bit]}1)"
    assert repr(outcome).startswith("<lumora.Outcome object at 0x")
    assert type(outcome.result) is M and type(outcome.axis) is A
    assert outcome.result == bit and outcome.axis == axis
    assert outcome.result == [M.PlusOne, M.MinusOne][bit] and outcome.axis == [A.X, A.Y, A.Z][axis]
    assert outcome.result is not outcome.result and outcome.axis is not outcome.axis
    for field in ("result", "axis"):
        with pytest.raises(AttributeError):
            setattr(outcome, field, 0)
        with pytest.raises(AttributeError):
            delattr(outcome, field)
        assert vars(lumora.Outcome)[field].__doc__ is None


def test_outcome_identity_semantics():
    sim = lumora.Lumora(1)
    first, second = sim.peek_measure_set({0})[0], sim.peek_measure_set({0})[0]
    assert str(first) == str(second)
    assert first == first and first != second  # equality is identity
    assert hash(first) == hash(first) and len({first, second}) == 2
    with pytest.raises(TypeError):
        first < second
