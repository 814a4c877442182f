"""Copies: copy(), copy.copy, copy.deepcopy, copy(seed=...), a copy made on another thread and a pickle round trip
each give an independent simulator of the same state, which replays a seeded original's outcomes."""

import copy
import pickle
import random

import pytest

import lumora

from helpers import AXES, SHOTS, L, cluster_line, dense_state, in_thread, play, random_ops

COPIERS = {
    "method": lambda s: s.copy(),
    "copy.copy": copy.copy,
    "copy.deepcopy": copy.deepcopy,
    "seed=None": lambda s: s.copy(seed=None),
    "other thread": lambda s: in_thread(s.copy),
    "pickle": lambda s: pickle.loads(pickle.dumps(s)),
}  # a round trip is a copy too


@pytest.mark.parametrize("how", list(COPIERS) + ["seed=7"])
def test_copies_are_independent(how):
    rng = random.Random(2)
    a = L(12, seed=3)
    play(a, random_ops(rng, 12, 300))
    before = a.stabilizers()
    b = a.copy(seed=7) if how == "seed=7" else COPIERS[how](a)
    assert type(b) is L and b is not a and b.num_qubits == 12 and b.stabilizers() == before
    play(b, random_ops(rng, 12, 100))
    assert a.stabilizers() == before
    changed = b.stabilizers()
    assert changed != before
    play(a, random_ops(rng, 12, 100))
    assert b.stabilizers() == changed and a.stabilizers() != before


@pytest.mark.parametrize("how", COPIERS)
def test_copy_replays_a_seeded_original(how):
    rng = random.Random(4)
    a = L(16, seed=2**300 + 5)
    play(a, random_ops(rng, 16, 200))
    b = COPIERS[how](a)
    ops = random_ops(rng, 16, 400)
    assert play(b, ops) == play(a, ops)
    # an unseeded original's copies draw from the thread's generator
    fresh = L(1)
    assert {int(COPIERS[how](fresh).measure_x(0)) for _ in range(SHOTS)} == {0, 1}
    assert fresh.measure_z(0) == lumora.MeasurementResult.PlusOne
    seeded = L(1, seed=9)
    outcomes = {int(COPIERS[how](seeded).measure_x(0)) for _ in range(SHOTS)}
    assert outcomes == {int(seeded.measure_x(0))}


def test_copy_with_a_seed_starts_that_seed_afresh():
    rng = random.Random(6)
    gates = random_ops(rng, 16, 300, measure_share=0, peek_share=0)
    a, b = L(16, seed=1), L(16)  # equal states by the same gates, with different randomness
    play(a, gates)
    play(b, gates)
    ops = random_ops(rng, 16, 400)
    reference = play(a.copy(seed=7), ops)
    assert play(b.copy(seed=7), ops) == reference
    assert play(a.copy().copy(seed=7), ops) == reference
    assert play(pickle.loads(pickle.dumps(b)).copy(seed=7), ops) == reference
    assert play(a.copy(seed=8), ops) != reference
    assert play(a.copy(seed=7 + 2**256), ops) != reference
    # the original's own stream is untouched by copies with seeds
    c = a.copy()
    a.copy(seed=7).measure_x(3)
    assert play(a, ops) == play(c, ops)


@pytest.mark.parametrize("how", COPIERS)
def test_copy_of_a_dense_group_is_exact(how):
    a = dense_state(21)
    b = COPIERS[how](a)
    assert b.stabilizers() == a.stabilizers()
    ops = random_ops(random.Random(7), 200, 600)
    assert play(b, ops) == play(a, ops)


def test_copy_of_a_long_cluster_is_exact():
    n = 100_000
    a = cluster_line(n, key=13)
    b, c = a.copy(), copy.deepcopy(a)
    rng = random.Random(8)
    order = rng.sample(range(n), n)
    ops = [("measure", rng.choice(AXES), q) for q in order]
    assert play(b, ops) == play(a, ops)
    # the third copy measured physically: Z on the even qubits fixes X on each odd one (K_q = Z X Z)
    zs = {q: int(c.measure_z(q)) for q in range(0, n, 2)}
    for q in range(1, n, 2):
        assert int(c.measure_x(q)) == (zs[q - 1] ^ zs.get(q + 1, 0)), q
