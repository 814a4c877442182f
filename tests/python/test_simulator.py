"""Simulator behaviour, checked against the quantum states the gates must produce."""

import pytest

import lumora

from helpers import ONE_QUBIT, SHOTS, Index, oob, outcome_text, panics, peek_text

L, M = lumora.Lumora, lumora.MeasurementResult
# gates applied to |0>, and the Pauli axis and eigenvalue bit of the resulting state
PREPARED = [
    ("", "z", 0),
    ("x", "z", 1),
    ("y", "z", 1),
    ("z", "z", 0),
    ("s", "z", 0),
    ("sdag", "z", 0),
    ("x y", "z", 0),
    ("x s", "z", 1),
    ("h h", "z", 0),
    ("h", "x", 0),
    ("h z", "x", 1),
    ("h x", "x", 0),
    ("h y", "x", 1),
    ("x h", "x", 1),
    ("h s s", "x", 1),
    ("h s sdag", "x", 0),
    ("h s h s", "x", 0),
    ("h s", "y", 0),
    ("h sdag", "y", 1),
    ("h s h", "y", 1),
    ("h s x", "y", 1),
    ("h s z", "y", 1),
    ("h s y", "y", 0),
    ("h sdag h", "y", 0),
]
EIGEN = {"z": ["", "x"], "x": ["h", "h z"], "y": ["h s", "h sdag"]}  # gates giving the +1 and -1 eigenstates
# controlled gates: basis of the control, Pauli applied to the target when the control reads -1
CONTROLLED = {
    "cz": "zz",
    "cx": "zx",
    "cy": "zy",
    "xcx": "xx",
    "xcy": "xy",
    "xcz": "xz",
    "ycx": "yx",
    "ycy": "yy",
    "ycz": "yz",
}
TARGET_TESTED_FIRST = {"cx", "cy", "xcy", "ycy"}  # the others examine the control first
FLIPPED_BY = {"x": "z", "y": "z", "z": "x"}  # a basis whose two eigenstates the Pauli exchanges
UNBIASED = {"z": "x", "x": "z", "y": "z"}  # a basis whose +1 state is an even mix of the control's
BELL = [("h", 0), ("cx", 0, 1)]
GHZ = BELL + [("cx", 1, 2)]
CLUSTER = [("h", q) for q in range(4)] + [("cz", q, q + 1) for q in range(3)]


def on(qubit, gates):
    return [(gate, qubit) for gate in gates.split()]


def build(n, *steps):
    sim = L(n)
    for gate, *qubits in steps:
        assert getattr(sim, gate)(*qubits) is None
    return sim


def measure(sim, axis, qubit):
    return getattr(sim, "measure_" + axis)(qubit)


def groups(sim, n):
    return [sim.get_entangled_group(q) for q in range(n)]


def test_constructor():
    for arg, n in [(0, 0), (1, 1), (True, 1), (Index(2), 2), (5, 5)]:
        sim = L(arg)
        assert groups(sim, n) == [{q} for q in range(n)]
        assert peek_text(sim, range(n)) == dict.fromkeys(range(n), "(Z, +1)")
        assert sim.peek_measure_set(set()) == {} == sim.peek_measure_set(frozenset())
        with panics(oob(n, n)):
            sim.get_entangled_group(n)
    sim.x(0)
    assert sim.__init__(7) is None  # there is no initialiser: the state stays
    assert peek_text(sim, {0, 1}) == {0: "(Z, -1)", 1: "(Z, +1)"}


@pytest.mark.parametrize("gates,axis,bit", PREPARED)
def test_single_qubit_gates(gates, axis, bit):
    sim = build(3, *on(1, gates))
    assert peek_text(sim, {0, 1, 2}) == {0: "(Z, +1)", 1: outcome_text(axis, bit), 2: "(Z, +1)"}
    results = [measure(sim, axis, 1) for _ in range(3)]
    assert all(type(r) is M and r == bit for r in results) and groups(sim, 3) == [{0}, {1}, {2}]
    assert results[0] is not [M.PlusOne, M.MinusOne][bit]  # a new object each call


@pytest.mark.parametrize("gates,axis", [("", "x"), ("", "y"), ("h", "z"), ("h", "y"), ("h s", "x"), ("h s", "z")])
def test_unbiased_measurements_are_random_then_repeat(gates, axis):
    seen = set()
    for _ in range(SHOTS):
        sim = build(1, *on(0, gates))
        seen.add(first := int(measure(sim, axis, 0)))
        assert [measure(sim, axis, 0) for _ in range(3)] == [first] * 3
        assert peek_text(sim, {0}) == {0: outcome_text(axis, first)}
    assert seen == {0, 1}


# measuring a stabilizer's factors: the outcome bits have the parity of its sign
@pytest.mark.parametrize(
    "steps,bases,parity",
    [
        (BELL, "xx", 0),
        (BELL, "yy", 1),
        (BELL, "zz", 0),
        (GHZ, "xxx", 0),
        (GHZ, "xyy", 1),
        (GHZ, "zz", 0),
        (GHZ, "-zz", 0),
        (CLUSTER, "xz", 0),
        (CLUSTER, "zxz", 0),
        (CLUSTER, "-zxz", 0),
        (CLUSTER, "--zx", 0),
    ],
)
def test_entangled_correlations(steps, bases, parity):
    firsts = set()
    for _ in range(SHOTS):
        sim = build(5, *steps)
        bits = [int(measure(sim, b, q)) for q, b in enumerate(bases) if b != "-"]
        firsts.add(bits[0])
        assert sum(bits) % 2 == parity
    assert firsts == {0, 1}


@pytest.mark.parametrize(
    "steps,measured,before,after",
    [
        (BELL, 0, [{0, 1}, {0, 1}, {2}, {3}], [{0}, {1}, {2}, {3}]),
        (GHZ, 2, [{0, 1, 2}] * 3 + [{3}], [{0}, {1}, {2}, {3}]),
        (CLUSTER, 1, [{0, 1, 2, 3}] * 4, [{0}, {1}, {2, 3}, {2, 3}]),
    ],
)
def test_entangled_groups(steps, measured, before, after):
    sim = build(4, *steps)
    found = groups(sim, 4)
    assert found == before and all(type(q) is int for group in found for q in group)
    found[0].add(7)  # every call builds a new set
    assert groups(sim, 4) == before
    sim.measure_z(measured)
    assert groups(sim, 4) == after


@pytest.mark.parametrize("gate", CONTROLLED)
@pytest.mark.parametrize("bit", [0, 1])
def test_controlled_gate_on_control_eigenstates(gate, bit):
    control_basis, target_basis = CONTROLLED[gate][0], FLIPPED_BY[CONTROLLED[gate][1]]
    sim = build(3, *on(2, EIGEN[control_basis][bit]), *on(0, EIGEN[target_basis][0]), (gate, 2, 0))
    assert peek_text(sim, {0, 1, 2}) == {
        0: outcome_text(target_basis, bit),
        1: "(Z, +1)",
        2: outcome_text(control_basis, bit),
    }


@pytest.mark.parametrize("gate", CONTROLLED)
def test_controlled_gate_entangles(gate):
    control_basis, target_basis = CONTROLLED[gate][0], FLIPPED_BY[CONTROLLED[gate][1]]
    firsts = set()
    for _ in range(SHOTS):
        sim = build(3, *on(2, EIGEN[UNBIASED[control_basis]][0]), *on(0, EIGEN[target_basis][0]), (gate, 2, 0))
        assert groups(sim, 3) == [{0, 2}, {1}, {0, 2}]
        firsts.add(first := int(measure(sim, control_basis, 2)))
        assert measure(sim, target_basis, 0) == first
    assert firsts == {0, 1}


@pytest.mark.parametrize(
    "name", [*ONE_QUBIT, "measure_x", "measure_y", "measure_z", "get_entangled_group", "peek_measure_set"]
)
@pytest.mark.parametrize("n,q", [(0, 0), (3, 3), (3, 7), (3, 2**64 - 1)])
def test_single_qubit_index_errors(name, n, q):
    sim = L(n)
    with panics(oob(n, q)):
        getattr(sim, name)({q} if name == "peek_measure_set" else q)
    assert peek_text(sim, range(n)) == dict.fromkeys(range(n), "(Z, +1)")


PLUS_I = [step for q in range(3) for step in on(q, "h s")]  # any stray h or sdag would show in a peek


@pytest.mark.parametrize("gate", CONTROLLED)
@pytest.mark.parametrize("control,target", [(5, 0), (0, 5), (3, 1), (1, 3), (5, 7), (7, 3)])
def test_two_qubit_index_errors_change_nothing(gate, control, target):
    sim = build(3, *PLUS_I)
    reported = target if control < 3 or (target >= 3 and gate in TARGET_TESTED_FIRST) else control
    with panics(oob(3, reported)):
        getattr(sim, gate)(control, target)
    assert peek_text(sim, {0, 1, 2}) == dict.fromkeys(range(3), "(Y, +1)")
    for _ in range(SHOTS // 4):
        fresh = L(3)
        with panics(oob(3, 5)):
            getattr(fresh, gate)(5, 0)
        assert fresh.measure_z(0) == M.PlusOne


@pytest.mark.parametrize("gate", CONTROLLED)
@pytest.mark.parametrize(
    "control,target,shown",
    [(0, 0, 0), (2, 2, 2), (5, 5, 5), (2**64 - 1, 2**64 - 1, 2**64 - 1), (True, 1, 1), (1, "index", 1)],
)
def test_same_control_and_target_is_refused(gate, control, target, shown):
    sim = build(3, *PLUS_I)
    with pytest.raises(ValueError) as info:
        getattr(sim, gate)(control, Index(shown) if target == "index" else target)
    assert type(info.value) is ValueError
    assert str(info.value) == f"control and target must be different qubits, got {shown} for both"
    assert peek_text(sim, {0, 1, 2}) == dict.fromkeys(range(3), "(Y, +1)")


def test_peek_samples_a_bell_pair_without_touching_it():
    sim, axes = build(3, *BELL, *on(2, "h s")), set()
    for _ in range(3 * SHOTS):
        sample = sim.peek_measure_set({0, 1, 2})
        axes.add(axis := int(sample[0].axis))
        assert int(sample[1].axis) == axis  # the partner collapses onto the same axis
        assert (int(sample[0].result) == int(sample[1].result)) is (axis != 1)
        assert str(sample[2]) == "(Y, +1)"
    assert axes == {0, 1, 2}
    with panics(oob(3, 3)):
        sim.peek_measure_set({0, 1, 3})
    assert groups(sim, 3) == [{0, 1}, {0, 1}, {2}] and sim.measure_y(2) == M.PlusOne
    first = sim.measure_x(0)
    assert sim.measure_x(1) == first
