"""Speed and memory figures of the lumora module, run on demand.

    python bench/bench_module.py

Every figure is the best of several repeats, to damp noise from the machine.
"""

import gc
import resource
import time
import timeit

from lumora import Lumora


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def gate_call_overhead():
    sim = Lumora(1000)
    d = {q: q for q in range(1000)}
    n = 2_000_000
    t_h = min(timeit.repeat("h(7)", globals={"h": sim.h}, number=n, repeat=5)) / n
    t_get = min(timeit.repeat("get(7)", globals={"get": d.get}, number=n, repeat=5)) / n
    print(f"sim.h(q): {t_h * 1e9:6.1f} ns   d.get(q): {t_get * 1e9:6.1f} ns   ratio {t_h / t_get:.2f}")


def cluster(n):
    sim = Lumora(n)
    for q in range(n):
        sim.h(q)
    for q in range(n - 1):
        sim.cz(q, q + 1)
    return sim


def cz_on_cluster(n=100_000):
    def build():
        sim = Lumora(n)
        for q in range(n):
            sim.h(q)
        cz = sim.cz
        start = time.perf_counter()
        for q in range(n - 1):
            cz(q, q + 1)
        return time.perf_counter() - start

    t = min(build() for _ in range(5))
    print(f"cz on a 1D cluster of {n}: {t / (n - 1) * 1e9:6.1f} ns per gate")


def ghz_growth():
    for n in (100, 300, 1000):

        def build(n=n):
            sim = Lumora(n)
            sim.h(0)
            for q in range(1, n):
                sim.cx(0, q)

        # The largest case takes minutes: it runs once.
        repeats = 3 if n < 1000 else 1
        print(f"GHZ state h(0), cx(0, i) with n = {n:5}: {best(build, repeats) * 1e3:9.2f} ms")


def entangled_group_chain(n=100_000):
    sim = cluster(n)
    t = best(lambda: sim.get_entangled_group(n // 2))
    print(f"get_entangled_group on a {n}-qubit chain: {t * 1e3:6.2f} ms")


def measurements_on_cluster(n=100_000):
    for name in ("measure_z", "measure_x"):

        def run(name=name):
            sim = cluster(n)
            measure = getattr(sim, name)
            start = time.perf_counter()
            for q in range(n):
                measure(q)
            return time.perf_counter() - start

        t = min(run() for _ in range(3))
        print(f"{name} over all qubits of a {n}-qubit cluster: {t / n * 1e9:6.1f} ns per call")


def peek_on_large_state(n=1_000_000):
    sim = cluster(n)
    reps = 100_000
    t = min(timeit.repeat("peek({12345})", globals={"peek": sim.peek_measure_set}, number=reps, repeat=3))
    print(f"peek_measure_set({{q}}) on a {n}-qubit cluster: {t / reps * 1e9:6.0f} ns per call")


def memory_per_qubit(n=2_000_000):
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    sim = Lumora(n)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"memory of a fresh {n}-qubit state: {(after - before) * 1024 / n:5.1f} bytes per qubit")
    del sim


if __name__ == "__main__":
    memory_per_qubit()
    gate_call_overhead()
    cz_on_cluster()
    entangled_group_chain()
    measurements_on_cluster()
    peek_on_large_state()
    ghz_growth()
