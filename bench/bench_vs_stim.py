"""lumora next to stim's TableauSimulator on the same operation sequences, run on demand.

    python bench/bench_vs_stim.py                    # every workload
    python bench/bench_vs_stim.py --only ghz random  # some of them
    python bench/bench_vs_stim.py --quick            # smaller sizes, for a smoke run

Each row gives ns per operation for lumora and for stim, and stim/lumora: how many times longer stim takes
(above 1, lumora is faster). A stim tableau of n qubits holds 4 n^2 bits and a measurement on it takes O(n^2)
time, so stim runs only where that is feasible; elsewhere its column shows "—", or it runs the first ops of
the sequence only, which the row says. Both simulators run pre-generated operation lists through bound methods,
in the same loop; stim has no X measurement of its own, so it gets h, measure, h. The last column is lumora's
time in units of its single-qubit gate call: h on random qubits of 1000, through that same loop. Times are the
best of a few repeats, each on a fresh state built outside the timed part.
"""

import argparse
import random
import subprocess
import sys
import time
import timeit

import stim

from lumora import Lumora

STIM_MAX_QUBITS = 20_000  # 4 n^2 bits: 200 MB of tableau; larger ones take gigabytes and seconds per measurement
STIM_SECONDS = 10  # about the longest one stim run may take; longer sequences are cut
QUICK = False
UNIT = None  # ns of one single-qubit gate call on lumora, in the op loop


def size(full, quick):
    return quick if QUICK else full


# -- the two simulators behind one interface ----------------------------------------------------------------------


def lumora_state(n):
    return Lumora(n)


def stim_state(n):
    sim = stim.TableauSimulator()
    sim.set_num_qubits(n)
    return sim


OPS = ("h", "s", "sdag", "x", "y", "z", "cz", "cx", "measure_z", "measure_x")


def lumora_methods(sim):
    return {name: getattr(sim, name) for name in OPS}


def stim_methods(sim):
    h, measure = sim.h, sim.measure

    def measure_x(q):
        h(q)
        measure(q)
        h(q)

    return {
        "h": h,
        "s": sim.s,
        "sdag": sim.s_dag,
        "x": sim.x,
        "y": sim.y,
        "z": sim.z,
        "cz": sim.cz,
        "cx": sim.cx,
        "measure_z": measure,
        "measure_x": measure_x,
    }


SIMULATORS = {"lumora": (lumora_state, lumora_methods), "stim": (stim_state, stim_methods)}


def bind(ops, methods):
    """(name, *qubits) ops as (bound method, qubits) pairs, so the timed loop only calls."""
    return [(methods[name], qubits) for name, *qubits in ops]


def run_ops(calls):
    for method, qubits in calls:
        method(*qubits)


def best_time(which, n, prepare, ops, repeat):
    """Best of ``repeat`` runs of ``ops`` on a fresh state of n qubits, after the untimed ops ``prepare``."""
    make, methods = SIMULATORS[which]
    best = float("inf")
    for _ in range(repeat):
        sim = make(n)
        found = methods(sim)
        run_ops(bind(prepare, found))
        calls = bind(ops, found)
        start = time.perf_counter()
        run_ops(calls)
        best = min(best, time.perf_counter() - start)
        del sim, found, calls
    return best


# -- output ------------------------------------------------------------------------------------------------------


def header(title):
    print(f"\n{title}")
    print(f"  {'':52} {'lumora ns/op':>13} {'stim ns/op':>13} {'stim/lumora':>12} {'lumora/1q call':>15}")


def row(label, lumora_ns, stim_ns=None):
    ratio = f"{stim_ns / lumora_ns:12.3g}" if stim_ns is not None and lumora_ns else f"{'—':>12}"
    stim_text = f"{stim_ns:13.1f}" if stim_ns is not None else f"{'—':>13}"
    unit = f"{lumora_ns / UNIT:15.2f}" if UNIT else f"{'':15}"
    print(f"  {label:52} {lumora_ns:13.1f} {stim_text} {ratio} {unit}", flush=True)


def stim_prefix(n, prepare, ops, seconds=STIM_SECONDS):
    """Runs ``ops`` on stim in growing slices, timed one by one, until about ``seconds`` are spent (or twice that,
    when the whole sequence fits in it at the pace so far): returns how many ops ran and their time."""
    sim = stim_state(n)
    found = stim_methods(sim)
    run_ops(bind(prepare, found))
    calls = bind(ops, found)
    done, spent, step = 0, 0.0, 1
    while done < len(calls) and (spent < seconds or spent / done * len(calls) < 2 * seconds):
        part = calls[done : done + step]
        start = time.perf_counter()
        run_ops(part)
        took = time.perf_counter() - start
        spent, done = spent + took, done + len(part)
        if took < seconds / 20:
            step *= 2
    return done, spent


def compare(label, n, prepare, ops, repeat):
    """A row for ``ops`` after ``prepare``. Where stim would take more than a few seconds it runs the first ops
    only, and a second row compares the two on those; past STIM_MAX_QUBITS it does not run."""
    lumora_ns = best_time("lumora", n, prepare, ops, repeat) / len(ops) * 1e9
    if n > STIM_MAX_QUBITS:
        row(label, lumora_ns)
        return lumora_ns
    done, spent = stim_prefix(n, prepare, ops)
    if done == len(ops):
        if spent * repeat < STIM_SECONDS:
            spent = min(spent, best_time("stim", n, prepare, ops, repeat - 1) if repeat > 1 else spent)
        row(label, lumora_ns, spent / done * 1e9)
        return lumora_ns
    row(label, lumora_ns)
    head = ops[:done]
    row(f"  only its first {done} ops", best_time("lumora", n, prepare, head, repeat) / done * 1e9, spent / done * 1e9)
    return lumora_ns


# -- workloads ---------------------------------------------------------------------------------------------------


def single_qubit_call():
    header("single-qubit gate call from Python through a bound method")
    number = size(2_000_000, 200_000)
    for n in (1000, size(1_000_000, 100_000)):
        timings = {}
        for which, (make, _) in SIMULATORS.items():
            if which == "stim" and n > STIM_MAX_QUBITS:
                continue
            sim = make(n)
            reps = number if which == "lumora" else number // 20
            timings[which] = min(timeit.repeat("h(7)", globals={"h": sim.h}, number=reps, repeat=5)) / reps * 1e9
        row(f"h(7) in timeit's loop, n = {n}", timings["lumora"], timings.get("stim"))
        ops = [("h", q) for q in random_qubits(n, number // 10)]
        compare(f"h(q), random q, in the op loop, n = {n}", n, [], ops, 5)


def random_qubits(n, count):
    rng = random.Random(n)
    return [rng.randrange(n) for _ in range(count)]


def ensure_unit():
    """The last column's unit: lumora's h(q) on random qubits of 1000, in the loop that runs every op list."""
    global UNIT
    UNIT = best_time("lumora", 1000, [], [("h", q) for q in random_qubits(1000, 200_000)], 5) / 200_000 * 1e9


def ghz():
    header("GHZ state: h(0) then cx(0, i) for every i (fan-out), or cx(i, i + 1) (chain); per cx")
    for n in (size(10_000, 1000), size(1_000_000, 10_000)):
        repeat = 3 if n <= 10_000 else 1
        fanout = [("cx", 0, q) for q in range(1, n)]
        chain = [("cx", q, q + 1) for q in range(n - 1)]
        compare(f"fan-out, n = {n}", n, [("h", 0)], fanout, repeat)
        compare(f"chain, n = {n}", n, [("h", 0)], chain, repeat)


def cluster_1d():
    n = size(100_000, 10_000)
    header(f"1D cluster state of {n} qubits: cz along the line, then every qubit measured")
    line = [("h", q) for q in range(n)]
    edges = [("cz", q, q + 1) for q in range(n - 1)]
    compare("cz(q, q + 1), on qubits in |+>", n, line, edges, 3)
    for axis in ("x", "z"):
        compare(
            f"measure_{axis}(q) over the cluster, in order",
            n,
            line + edges,
            [("measure_" + axis, q) for q in range(n)],
            3,
        )
    small = 2000
    line, edges = line[:small], edges[: small - 1]
    compare(f"the same at n = {small}: cz", small, line, edges, 3)
    for axis in ("x", "z"):
        compare(
            f"the same at n = {small}: measure_{axis}",
            small,
            line + edges,
            [("measure_" + axis, q) for q in range(small)],
            1,
        )


def cluster_2d():
    header("2D cluster state: built by h and cz, then measured in X row by row")
    for side in (100, 200, 300) if not QUICK else (30, 60):
        n = side * side
        build = [("h", q) for q in range(n)]
        build += [("cz", q, q + 1) for q in range(n) if q % side < side - 1]
        build += [("cz", q, q + side) for q in range(n - side)]
        sweep = [("measure_x", q) for q in range(n)]
        repeat = 3 if n <= 10_000 else 1
        built = compare(f"side {side}: build, per h or cz", n, [], build, repeat) * len(build)
        swept = compare(f"side {side}: X measurements row by row, per measurement", n, build, sweep, repeat) * n
        print(f"  side {side}, lumora: build {built * 1e-6:.1f} ms, whole X pass {swept * 1e-6:.1f} ms", flush=True)


def random_circuit(rng, n, count):
    """10% Z measurements; the rest half random single-qubit gates, half cz or cx on random pairs."""
    ops = []
    for _ in range(count):
        u = rng.random()
        if u < 0.1:
            ops.append(("measure_z", rng.randrange(n)))
        elif u < 0.55:
            ops.append((rng.choice(("h", "s", "sdag", "x", "y", "z")), rng.randrange(n)))
        else:
            ops.append((rng.choice(("cz", "cx")), *rng.sample(range(n), 2)))
    return ops


def random_circuits():
    header("random circuits: 10% Z measurements, the rest random single-qubit gates and cz/cx on random pairs")
    rng = random.Random(1)
    for n in (100, 1000, 10_000):
        count = size(200_000, 20_000)
        ops = random_circuit(rng, n, count)
        compare(f"n = {n}, {count} ops", n, [], ops, 3)


def dense_mix(rng, m, count):
    """Random h, s and cz in equal shares on qubits 0..m-1: after a few hundred cz the graph is dense."""
    ops = []
    for _ in range(count):
        kind = rng.randrange(3)
        ops.append(("cz", *rng.sample(range(m), 2)) if kind == 2 else ("hs"[kind], rng.randrange(m)))
    return ops


def dense():
    header("dense groups: random h, s and cz in equal shares on m qubits, after 10 m warm-up ops; per op, per cz")
    rng = random.Random(2)
    for m, n in ((200, 200), (200, 100_000), (1000, 1000), (4000, 4000)):
        count = size(60_000, 6000)
        warm = dense_mix(rng, m, 10 * m)
        mix = dense_mix(rng, m, count)
        czs = sum(op[0] == "cz" for op in mix)
        where = f"m = {m}" + ("" if n == m else f" of n = {n}")
        per_op = compare(f"{where}, the mix, per op", n, warm, mix, 3)
        print(f"  {where}, lumora per cz of the mix: {per_op * count / czs:.1f} ns", flush=True)
        compare(f"{where}, cz alone on the dense state", n, warm + mix, [op for op in mix if op[0] == "cz"], 3)
    m = 200
    # From a fresh register: the group forms, turns dense (a conversion), then every qubit is measured and the
    # group thins out and falls apart (the conversion back).
    build = [("h", q) for q in range(m)] + dense_mix(rng, m, 10 * m)
    compare(f"m = {m}, from fresh through dense, per op", m, [], build, 3)
    compare(
        f"m = {m}, X measurement of every qubit of the dense group", m, build, [("measure_x", q) for q in range(m)], 3
    )


MEMORY_PROBE = r"""
import os, sys
page = os.sysconf("SC_PAGE_SIZE")
def statm():  # virtual and resident bytes
    with open("/proc/self/statm") as f:
        return [int(v) * page for v in f.read().split()[:2]]
which, n, build = sys.argv[1], int(sys.argv[2]), sys.argv[3]
if which == "lumora":
    from lumora import Lumora
    before = statm()
    sim = Lumora(n)
else:
    import stim
    before = statm()
    sim = stim.TableauSimulator()
    sim.set_num_qubits(n)
if build == "ghz":
    sim.h(0)
    cx = sim.cx
    for q in range(1, n):
        cx(0, q)
print(*(after - b for after, b in zip(statm(), before)))
"""


def growth(which, n, build, per):
    """Memory that a state of n qubits (fresh, or a GHZ state) adds in a fresh interpreter, per ``per`` units."""
    done = subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE, which, str(n), build], capture_output=True, text=True, check=True
    )
    virtual, resident = (int(v) / per for v in done.stdout.split())
    return f"{resident:9.1f} resident, {virtual:9.1f} virtual"


def memory():
    print("\nmemory: growth of the process (from /proc/self/statm) in a fresh interpreter, in bytes")
    n = size(2_000_000, 200_000)
    print(f"  lumora, fresh state of {n} qubits, per qubit:       {growth('lumora', n, 'fresh', n)}", flush=True)
    n = size(1_000_000, 10_000)
    # a GHZ state made by fan-out is a star: n qubits, n - 1 edges
    print(f"  lumora, GHZ state of {n} qubits, per qubit + edge: {growth('lumora', n, 'ghz', 2 * n - 1)}", flush=True)
    n = size(10_000, 2000)
    print(f"  stim, fresh state of {n} qubits, per qubit:          {growth('stim', n, 'fresh', n)}", flush=True)


WORKLOADS = {
    "call": single_qubit_call,
    "ghz": ghz,
    "cluster1d": cluster_1d,
    "cluster2d": cluster_2d,
    "random": random_circuits,
    "dense": dense,
    "memory": memory,
}


def main():
    global QUICK
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", nargs="+", choices=WORKLOADS, default=list(WORKLOADS), help="workloads to run")
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    args = parser.parse_args()
    QUICK = args.quick
    print(f"lumora against stim {stim.__version__}{' (quick sizes)' if QUICK else ''}")
    ensure_unit()
    print(f"unit of the last column: lumora's h(q) on random qubits of 1000 in the op loop, {UNIT:.1f} ns")
    for name in args.only:
        WORKLOADS[name]()


if __name__ == "__main__":
    main()
