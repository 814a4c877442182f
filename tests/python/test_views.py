"""The views of a state: num_qubits, repr, stabilizers(), graph() and to_networkx().

What they return is judged by the references of reference.py, which know nothing of lumora's internals: the dense
state-vector simulator on small states, and stim's tableau simulator on larger ones; both follow lumora's random
outcomes.
"""

import copy
import pickle
import random

import pytest

from helpers import (
    ONE_QUBIT,
    Index,
    L,
    act,
    check_graph_shape,
    components,
    dense_state,
    oob,
    panics,
    play,
    random_ops,
    run_python,
    sample_state,
)
from reference import Dense, StimFollower, check_canonical, follow, needs_numpy, needs_stim

try:
    import networkx
except ImportError:  # an optional extra
    networkx = None

NOT_A_UNION = "qubits must be a union of entangled groups"


@pytest.mark.parametrize("n", [0, 1, 5, 1000, True, "index"])
@pytest.mark.parametrize("seed", [None, 3])
def test_num_qubits_and_repr(n, seed):
    sim = L(Index(7) if n == "index" else n, seed=seed)
    n = 7 if n == "index" else int(n)
    for view in (sim, sim.copy(), copy.deepcopy(sim), sim.copy(seed=1), pickle.loads(pickle.dumps(sim))):
        assert type(view.num_qubits) is int and view.num_qubits == n and repr(view) == f"Lumora(num_qubits={n})"
    with pytest.raises(AttributeError):
        sim.num_qubits = n + 1
    with pytest.raises(AttributeError):
        del sim.num_qubits
    assert sim.num_qubits == n and len(sim.stabilizers()) == n


# -- stabilizers() and graph() against the dense reference ---------------------------------------------------------


def small_walk(seed, steps=80):
    """Random ops on 1-8 qubits, lumora and the dense reference side by side, yielded after each op."""
    n = seed % 8 + 1
    rng = random.Random(seed)
    sim, ref = L(n, seed=seed), Dense(n)
    for step, op in enumerate(random_ops(rng, n, steps)):
        where = f"seed {seed} step {step} {op}"
        follow(ref, op, act(sim, op), where)
        yield where, sim, ref


@needs_numpy
@pytest.mark.parametrize("seed", range(32))
def test_stabilizers_and_graph_describe_the_state(seed):
    for where, sim, ref in small_walk(seed):
        strings = sim.stabilizers()
        check_canonical(strings, ref.n)
        assert all(ref.fixes(s) for s in strings), f"{where}: {[s for s in strings if not ref.fixes(s)]}"
        edges, words = sim.graph()
        check_graph_shape(ref.n, edges, words)
        assert Dense.from_graph(ref.n, edges, words).same_as(ref), where
        # a graph state's factors are its connected components
        assert components(ref.n, edges) == [sim.get_entangled_group(q) for q in range(ref.n)], where


def ops_from(text):
    """Gates written as text: ``"h 0; cx 0 1"``."""
    return [(name, *map(int, qubits)) for name, *qubits in (step.split() for step in text.split(";"))]


HS = "; ".join(f"h {q}" for q in range(4))
EQUAL_STATES = [
    (2, "h 0; cx 0 1", "h 0; h 1; cz 0 1; h 1"),
    (2, "h 0; cx 0 1", "h 1; cx 1 0"),
    (2, "h 0; cx 0 1", "h 0; cy 0 1; sdag 1"),
    (2, "h 0; cx 0 1", "h 0; cx 0 1; x 0; x 1; z 0; z 1"),
    (5, "h 0; cx 0 1; cx 1 2; cx 2 3; cx 3 4", "h 0; cx 0 1; cx 0 2; cx 0 3; cx 0 4"),
    (
        5,
        "h 0; cx 0 1; cx 1 2; cx 2 3; cx 3 4",
        "h 4; cx 4 3; cx 4 2; cx 2 1; cx 1 0; y 0; y 1; x 2; x 3; x 4; z 2; z 3",
    ),
    (1, "h 0; s 0", "h 0; sdag 0; z 0"),
    (1, "h 0", "s 0; h 0; s 0; s 0; h 0; x 0; h 0; h 0; h 0"),
    (4, f"{HS}; cz 0 1; cz 1 2; cz 2 3", f"{HS}; cz 3 2; cz 1 0; cz 2 1; z 0; x 1; z 2; h 0; h 0"),
    (4, f"{HS}; cz 0 1; cz 1 2; cz 2 3", f"{HS}; cz 0 2; cz 0 1; cz 1 2; cz 0 2; cz 2 3; cz 1 3; cz 3 1"),
    (3, "h 0; cx 0 1; cx 0 2; h 1; h 2", "h 0; h 1; h 2; cz 0 1; cz 0 2"),
]


@needs_numpy
@pytest.mark.parametrize("n,first,second", EQUAL_STATES)
def test_equal_states_give_equal_lists(n, first, second):
    sims, refs = [], []
    for text in (first, second):
        sim, ref = L(n), Dense(n)
        for op in ops_from(text):
            act(sim, op)
            ref.gate(*op)
        sims.append(sim)
        refs.append(ref)
    assert refs[0].same_as(refs[1])  # the table itself is right
    assert sims[0].stabilizers() == sims[1].stabilizers()
    check_canonical(sims[0].stabilizers(), n)


def test_stabilizers_of_unions_of_groups():
    rng = random.Random(17)
    sim = L(7, seed=1)
    play(sim, ops_from("h 0; cx 0 2; cx 2 5; h 1; cy 1 4; h 3; s 3; x 6"))
    play(sim, [(rng.choice(ONE_QUBIT), rng.randrange(7)) for _ in range(20)])
    groups = [{0, 2, 5}, {1, 4}, {3}, {6}]
    assert [sim.get_entangled_group(q) for q in range(7)] == [next(g for g in groups if q in g) for q in range(7)]
    full = sim.stabilizers()
    for mask in range(1, 128):
        chosen = [q for q in range(7) if mask >> q & 1]
        if all(g <= set(chosen) or not g & set(chosen) for g in groups):
            # the canonical form of a product is the union of its factors' forms
            expected = [
                s[0] + "".join(s[1 + q] for q in chosen)
                for s in full
                if all(s[1 + q] == "I" for q in range(7) if q not in chosen)
            ]
            assert len(expected) == len(chosen) and sim.stabilizers(qubits=set(chosen)) == expected, chosen
        else:
            with pytest.raises(ValueError) as info:
                sim.stabilizers(qubits=set(chosen))
            assert str(info.value) == NOT_A_UNION
    union = sim.stabilizers(qubits={0, 2, 5, 6})
    for qubits in (frozenset({6, 5, 2, 0}), [6, 0, 5, 2, 0, 6], (0, 2, 5, 6), (q for q in (5, 6, 0, 2))):
        assert sim.stabilizers(qubits=qubits) == union
    assert sim.stabilizers(qubits=range(7)) == full == sim.stabilizers(qubits=None)
    assert sim.stabilizers(qubits=set()) == []
    for bad in ({0, 2, 5, 7}, [2**64 - 1]):
        with panics(oob(7, max(bad))):
            sim.stabilizers(qubits=bad)
    assert sim.stabilizers() == full


def test_views_leave_the_state_and_stream_alone():
    """Between every two ops one simulator is looked at in every way, its twin not; both report the same."""
    rng = random.Random(12)
    a, b = L(10, seed=5), L(10, seed=5)
    views = [
        lambda s: s.stabilizers(),
        lambda s: s.stabilizers(qubits=s.get_entangled_group(0)),
        lambda s: s.graph(),
        lambda s: s.copy(),
        lambda s: copy.deepcopy(s),
        lambda s: s.copy(seed=3),
        lambda s: pickle.dumps(s),
        lambda s: s.__reduce__(),
        lambda s: repr(s),
        lambda s: s.num_qubits,
    ]
    if networkx:
        views.append(lambda s: s.to_networkx())
    failing = [
        (lambda s: s.copy(seed=-1), lambda: pytest.raises(ValueError)),
        (lambda s: s.copy(seed=0.5), lambda: pytest.raises(TypeError)),
        (lambda s: s.stabilizers(qubits={10}), lambda: panics(oob(10, 10))),
    ]
    for step, op in enumerate(random_ops(rng, 10, 400)):
        assert act(a, op) == act(b, op), step
        for view in views:
            view(a)
        for view, refused in failing:
            with refused():
                view(a)
        if len(a.get_entangled_group(0)) > 1:
            with pytest.raises(ValueError):
                a.stabilizers(qubits={0})


# -- stabilizers() and graph() against stim ------------------------------------------------------------------------


@needs_numpy
@needs_stim
@pytest.mark.parametrize(
    "n,count,measure_share,seed", [(20, 800, 0.2, 61), (60, 2000, 0.1, 62), (120, 3000, 0.05, 63), (200, 3000, 0.1, 64)]
)
def test_stabilizers_and_graph_match_stim(n, count, measure_share, seed):
    rng = random.Random(seed)
    sim, ref = L(n, seed=seed), StimFollower(n)
    ops = random_ops(rng, n, count, measure_share)
    for checkpoint in (count // 2, count):
        for step in range(checkpoint - count // 2, checkpoint):
            follow(ref, ops[step], act(sim, ops[step]), f"seed {seed} step {step} {ops[step]}")
        compare_with_stim(sim, ref, n)


@needs_numpy
@needs_stim
def test_dense_group_matches_stim():
    sim = dense_state(24)
    rng = random.Random(24)
    ref = StimFollower.from_graph(200, *sim.graph())
    compare_with_stim(sim, ref, 200)
    for step, op in enumerate(random_ops(rng, 200, 400)):
        follow(ref, op, act(sim, op), f"dense step {step} {op}")
    compare_with_stim(sim, ref, 200)


def compare_with_stim(sim, ref, n):
    ours = sim.stabilizers()
    check_canonical(ours, n)
    for text in ours:  # each generator, sign included, lies in stim's stabilizer group
        assert ref.expectation(text) == 1, text
    theirs = ref.stabilizers()
    check_canonical(theirs, n)  # stim's canonical generators take the same form, so the lists must agree
    assert ours == theirs
    edges, words = sim.graph()
    check_graph_shape(n, edges, words)
    assert StimFollower.from_graph(n, edges, words).stabilizers() == theirs
    for q in random.Random(n).sample(range(n), 3):  # a group's own generators, from stim's
        group = sorted(sim.get_entangled_group(q))
        within = [
            s[0] + "".join(s[1 + k] for k in group)
            for s in theirs
            if all(s[1 + k] == "I" for k in set(range(n)) - set(group))
        ]
        assert sim.stabilizers(qubits=group) == within


# -- to_networkx() -------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: L(0),
        lambda: L(3),
        lambda: sample_state("ghz", 1),
        lambda: sample_state("random", 2),
        lambda: dense_state(25, n=40, czs=300),
    ],
)
def test_to_networkx_matches_graph(make):
    networkx = pytest.importorskip("networkx", reason="networkx is not installed (pip install networkx)")
    sim = make()
    edges, words = sim.graph()
    g = sim.to_networkx()
    assert type(g) is networkx.Graph and list(g.nodes) == list(range(sim.num_qubits))
    assert {q: g.nodes[q] for q in g.nodes} == {q: {"local_clifford": w} for q, w in enumerate(words)}
    assert sorted(tuple(sorted(e)) for e in g.edges) == edges


def test_to_networkx_without_networkx():
    code = (
        "import sys; sys.modules['networkx'] = None\nimport lumora\nsim = lumora.Lumora(2)\n"
        "try:\n    sim.to_networkx()\nexcept ImportError as e:\n    print(type(e).__name__, e)\n"
        "print(sim.num_qubits)"
    )
    out = run_python("-c", code)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["ImportError to_networkx() requires networkx: pip install networkx", "2"]
