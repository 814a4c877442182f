"""Copies, pickles and shots, next to stim where stim has the same operation. Run on demand:

    python bench/bench_state_io.py

- copy() of a 1D cluster of 10^6 qubits, next to making a fresh simulator of that size;
- pickle round trip of the same state: bytes per qubit and per edge, time of dumps and loads;
- 100,000 shots of a 5-qubit circuit by copy-and-measure from Python: lumora's copy() + measure_z against stim's
  TableauSimulator.copy() + measure, in the same process.
Times are the best of a few runs.
"""

import pickle
import time

import stim

from lumora import Lumora


def best(run, repeat=5):
    fastest = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest


def cluster(n):
    sim = Lumora(n)
    h, cz = sim.h, sim.cz
    for q in range(n):
        h(q)
    for q in range(n - 1):
        cz(q, q + 1)
    return sim


def copies_and_pickles(n=1_000_000):
    sim = cluster(n)
    fresh = best(lambda: Lumora(n))
    copied = best(sim.copy)
    print(
        f"1D cluster of {n} qubits: copy() {copied * 1e3:.1f} ms, a fresh Lumora({n}) {fresh * 1e3:.1f} ms "
        f"(copy / fresh = {copied / fresh:.2f})"
    )
    data = pickle.dumps(sim, protocol=pickle.HIGHEST_PROTOCOL)
    edges = n - 1
    dumps = best(lambda: pickle.dumps(sim, protocol=pickle.HIGHEST_PROTOCOL))
    loads = best(lambda: pickle.loads(data))
    print(
        f"  pickle: {len(data)} bytes = {len(data) / n:.2f} B per qubit with {edges / n:.2f} edges per qubit "
        f"(budget 20 B per qubit + 8 B per edge = {(20 * n + 8 * edges) / n:.0f} B per qubit); "
        f"dumps {dumps * 1e3:.1f} ms, loads {loads * 1e3:.1f} ms"
    )


def shots(count=100_000):
    prepared = Lumora(5, seed=1)
    prepared.h(0)
    for q in range(4):
        prepared.cx(q, q + 1)
    reference = stim.TableauSimulator()
    reference.h(0)
    for q in range(4):
        reference.cx(q, q + 1)

    def lumora_shots():
        copy = prepared.copy
        for _ in range(count):
            shot = copy()
            shot.measure_z(0)

    def stim_shots():
        copy = reference.copy
        for _ in range(count):
            shot = copy()
            shot.measure(0)

    ours = best(lumora_shots, 3) / count * 1e9
    theirs = best(stim_shots, 3) / count * 1e9
    print(
        f"{count} shots of a 5-qubit GHZ state by copy + measure: lumora {ours:.0f} ns per shot, "
        f"stim {theirs:.0f} ns per shot (stim / lumora = {theirs / ours:.2f})"
    )


if __name__ == "__main__":
    print(f"lumora, stim {stim.__version__}")
    copies_and_pickles()
    shots()
