"""Writes the seed corpus of the state loader's fuzzer: pickled states of the kinds users make.

Run from the repository root with lumora importable: python tests/fuzz/make_corpus.py
"""

import pathlib
import random

import lumora

L = lumora.Lumora


def states():
    yield "empty", L(0)
    yield "fresh", L(5)
    chain = L(40)
    for q in range(40):
        chain.h(q)
    for q in range(39):
        chain.cz(q, q + 1)
    yield "chain", chain
    star = L(30, seed=3)
    star.h(0)
    for q in range(1, 30):
        star.cx(0, q)
    yield "seeded-star", star
    star.peek_measure_set({0, 1})
    star.measure_x(4)
    yield "seeded-star-previewed", star
    pick = random.Random(1)
    dense = L(70)
    for q in range(70):
        dense.h(q)
    for a in range(70):
        for b in range(a + 1, 70):
            if pick.random() < 0.5:
                dense.cz(a, b)
    for q in range(0, 70, 3):
        dense.s(q)
    yield "dense", dense
    # Random h, s and cz on 120 qubits: a group kept as a stabilizer tableau.
    mixed = L(120, seed=5)
    for _ in range(6000):
        if pick.randrange(3) == 0:
            mixed.cz(*pick.sample(range(120), 2))
        else:
            (mixed.h if pick.randrange(2) else mixed.s)(pick.randrange(120))
    yield "tableau", mixed


if __name__ == "__main__":
    out = pathlib.Path(__file__).parent / "corpus" / "state"
    out.mkdir(parents=True, exist_ok=True)
    for name, sim in states():
        (out / name).write_bytes(sim.__reduce__()[1][0])
