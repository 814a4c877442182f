"""Whole circuits: lumora's do() next to the same operations called one by one from Python, next to stim's
TableauSimulator.do on the same circuit, and parsing next to stim.Circuit, run on demand.

    python bench/bench_circuits.py            # every table
    python bench/bench_circuits.py --quick    # smaller sizes, for a smoke run

Each row is the best of a few repeats, each on a fresh simulator; ratios above 1 mean lumora is faster.
"""

import argparse
import time

import stim

import lumora

QUICK = False


def best(run, repeats=3):
    """Best wall time of `run()` over `repeats` calls (each builds what it needs outside the timed part)."""
    times = []
    for _ in range(repeats):
        times.append(run())
    return min(times)


def timed(setup, work):
    def run():
        state = setup()
        start = time.perf_counter()
        work(state)
        return time.perf_counter() - start

    return run


# -- circuits -----------------------------------------------------------------------------------------------------


def one_qubit_stream(n, count):
    gates = ["H", "S", "S_DAG", "X", "Y", "Z", "SQRT_X", "C_XYZ"]
    lines = [f"{gates[i % len(gates)]} {(i * 7919) % n}" for i in range(count)]
    return "\n".join(lines), count


def cluster_1d(n):
    return f"H {' '.join(map(str, range(n)))}\nCZ {' '.join(f'{q} {q + 1}' for q in range(n - 1))}", 2 * n - 1


def cluster_2d(side):
    n = side * side
    pairs = [(r * side + c, r * side + c + 1) for r in range(side) for c in range(side - 1)]
    pairs += [(r * side + c, (r + 1) * side + c) for r in range(side - 1) for c in range(side)]
    text = f"H {' '.join(map(str, range(n)))}\nCZ {' '.join(f'{a} {b}' for a, b in pairs)}"
    return text, n + len(pairs)


def ghz(n):
    return f"H 0\nCX {' '.join(f'0 {q}' for q in range(1, n))}\nM {' '.join(map(str, range(n)))}", 2 * n


def python_calls(text):
    """The circuit's operations as (bound method name, args) for the one-by-one loop."""
    names = {"H": "h", "S": "s", "S_DAG": "sdag", "X": "x", "Y": "y", "Z": "z"}
    names |= {"CZ": "cz", "CX": "cx", "M": "measure_z"}
    calls = []
    for op in lumora.Circuit(text):
        targets = [t.value for t in op.targets]
        if op.name in ("SQRT_X", "C_XYZ"):  # h s h and s h as single calls
            seq = {"SQRT_X": ["h", "s", "h"], "C_XYZ": ["sdag", "h"]}[op.name]
            calls += [(m, (q,)) for q in targets for m in seq]
        elif op.name in ("CZ", "CX"):
            calls += [(names[op.name], (targets[i], targets[i + 1])) for i in range(0, len(targets), 2)]
        else:
            calls += [(names[op.name], (q,)) for q in targets]
    return calls


def run_calls(n, calls):
    def work(sim):
        bound = {name: getattr(sim, name) for name in {c[0] for c in calls}}
        for name, args in calls:
            bound[name](*args)

    return best(timed(lambda: lumora.Lumora(n), work))


def run_do(n, circuit):
    lumora.Lumora(n).do(circuit)  # compiles the circuit's program once, outside the timing
    return best(timed(lambda: lumora.Lumora(n), lambda sim: sim.do(circuit)))


def run_stim(n, circuit):
    def setup():
        sim = stim.TableauSimulator()
        sim.set_num_qubits(n)
        return sim

    return best(timed(setup, lambda sim: sim.do(circuit)), repeats=1)


def table(title, header, rows):
    print(f"\n{title}")
    print(" | ".join(header))
    for row in rows:
        print(" | ".join(row))


def against_python():
    rows = []
    cases = [
        ("1q gate stream, 10^3 qubits", 1000, one_qubit_stream(1000, 20_000 if QUICK else 200_000)),
        ("1D cluster", 10_000 if QUICK else 100_000, cluster_1d(10_000 if QUICK else 100_000)),
        ("2D cluster", 100 * 100 if QUICK else 300 * 300, cluster_2d(100 if QUICK else 300)),
        ("GHZ (fan-out, measured)", 10_000 if QUICK else 100_000, ghz(10_000 if QUICK else 100_000)),
    ]
    for name, n, (text, ops) in cases:
        circuit = lumora.Circuit(text)
        calls = python_calls(text)
        t_do, t_py = run_do(n, circuit), run_calls(n, calls)
        rows.append(
            [name, f"{ops:,}", f"{t_do / ops * 1e9:.1f}", f"{t_py / len(calls) * 1e9:.1f}", f"{t_py / t_do:.1f}x"]
        )
    table(
        "do() against the same operations called one by one from Python (ns per operation)",
        ["workload", "ops", "do()", "Python calls", "calls / do()"],
        rows,
    )


def surface_code(d, rounds):
    return stim.Circuit.generated("surface_code:rotated_memory_z", distance=d, rounds=rounds)


def against_stim():
    rows = []
    n = 10_000
    cases = [("1D cluster, 10^4 qubits", cluster_1d(n)[0], n), ("2D cluster, 100 x 100", cluster_2d(100)[0], n)]
    cases.append(("GHZ, 10^4 qubits", ghz(n)[0], n))
    for d in (11,) if QUICK else (11, 31, 71):
        code = surface_code(d, 3)
        cases.append((f"rotated surface code d={d}, 3 rounds", str(code), code.num_qubits))
    for name, text, qubits in cases:
        ours, theirs = lumora.Circuit(text), stim.Circuit(text)
        ops = sum(len(op.targets_copy()) // (2 if op.name in ("CX", "CZ") else 1) for op in theirs.flattened())
        t_do, t_stim = run_do(qubits, ours), run_stim(qubits, theirs)
        rows.append([name, f"{ops:,}", f"{t_do * 1e3:.2f}", f"{t_stim * 1e3:.2f}", f"{t_stim / t_do:.1f}x"])
    table(
        "do() against stim's TableauSimulator.do on the same circuit (ms per run)",
        ["workload", "ops", "lumora", "stim", "stim / lumora"],
        rows,
    )


def parsing():
    code = surface_code(15, 50 if QUICK else 400)
    text = str(code.flattened())
    megabytes = len(text) / 1e6

    def parse(make):
        start = time.perf_counter()
        make(text)
        return time.perf_counter() - start

    t_ours = min(parse(lumora.Circuit) for _ in range(3))
    t_stim = min(parse(stim.Circuit) for _ in range(3))
    table(
        f"Parsing a flattened surface-code circuit ({megabytes:.1f} MB of text)",
        ["parser", "MB/s"],
        [["lumora.Circuit", f"{megabytes / t_ours:.0f}"], ["stim.Circuit", f"{megabytes / t_stim:.0f}"]],
    )


def main():
    global QUICK
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    QUICK = parser.parse_args().quick
    against_python()
    against_stim()
    parsing()


if __name__ == "__main__":
    main()
