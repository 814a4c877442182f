"""lumora's shot samplers (compile_sampler, compile_detector_sampler) next to stim's on the same circuits, on demand.

    python bench/bench_sampler.py                # every workload
    python bench/bench_sampler.py --only a e     # some of them
    python bench/bench_sampler.py --quick        # smaller sizes, for a smoke run

Both simulators get the same circuit text (stim's own generator, or one written here) in the same process, and
each row gives lumora's time, stim's and stim/lumora: how many times longer stim takes (above 1, lumora is
faster). Times are the best of a few repeats, lumora and stim taking turns; the machine is shared, so compare
ratios within one run. "Compile" is the sampler's construction (lumora's reference shot on the graph engine;
stim's reference sample, which its detector sampler does not need), "sample" one call of `sample`, both as
numpy bool arrays unless the row says bit-packed.

  a  rotated surface-code memory, d = 11, 100 rounds, noise 1e-3 after Cliffords, on resets, on the data before
     each round and before measurements: 10^4 shots of detection events (--quick: d = 7, 30 rounds).
  b  the same family with one round, measurement sampling: compile plus 1000 shots at d = 51 and 101, noisy
     (as in a) and noiseless (--quick: d = 21, 31).
  c  an L x L cluster state with noise (H on all, DEPOLARIZE1, CZ on the grid's edges, DEPOLARIZE2), measured
     row by row in X with a Z correction (`CZ rec[-k] q`) on each measured qubit's neighbour in the next row,
     the last row measured in Y; 1000 shots, bit-packed, at L = 100 and 1000 (10^6 qubits; --quick: 50, 100).
     Each size runs in a fresh interpreter, so that its peak resident size is its own: VmHWM (or ru_maxrss
     where there is no /proc), read before stim runs, so the interpreter with numpy and stim's module, the
     circuit's text, lumora's circuit, sampler and output. stim's reference sample keeps a tableau of 4 n^2
     bits and costs O(n^2) per measurement: seconds at 10^4 qubits, 500 GB of tableau at 10^6, so stim runs
     up to L = 100 (--quick: 50) and shows "—" beyond. A second table measures X and Y alternately along every row
     (checkerboard) at L = 100 and 200 (--quick: 50 and 100; stim at L = 50 only): interior Y measurements
     make the graph dense along the row being measured, and lumora's reference shot grows far faster than
     the circuit.
  d  shot by shot: a 100 x 100 cluster measured column by column in X, each outcome conditioning a non-Pauli
     gate on the qubit to its right (`IF rec[-k] { H q }`, or S); stim cannot run such feedback. Shots per
     second, and ns per operation of a shot next to one run of the whole circuit by `Lumora(n).do(circuit)`.
     A shot starts from a copy of the state the circuit's opening gates (H, CZ) make and runs the rest (the
     measurements and IF blocks; an IF block counts as one operation), so it is compared with do()'s time for
     the rest: the whole run less a run of the opening alone. Threads share blocks of 256 shots, so fewer
     than 512 shots cannot use a second one.
  e  threads=2 against threads=1 on workload a's sampling, bool and bit-packed: the speed-up. It needs two free
     cores; the load average is printed at the start.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy  # noqa: F401  (lumora's samplers import numpy at their first call: imported here, outside the timings)
import stim

import lumora

QUICK = False
REPEATS = 3
NOISE = 1e-3
SUMMARY = []  # lines for the closing summary


def size(full, quick):
    return quick if QUICK else full


# -- timing and output --------------------------------------------------------------------------------------------


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def header(title, columns=("lumora ms", "stim ms", "stim/lumora")):
    print(f"\n{title}")
    print(f"  {'':56} " + " ".join(f"{c:>13}" for c in columns), flush=True)


def ms(seconds):
    return f"{seconds * 1e3:13.1f}" if seconds is not None else f"{'—':>13}"


def ratio(ours, theirs):
    return f"{theirs / ours:13.2f}" if ours and theirs is not None else f"{'—':>13}"


def row(label, ours, theirs=None):
    print(f"  {label:56} {ms(ours)} {ms(theirs)} {ratio(ours, theirs)}", flush=True)


def surface_code(distance, rounds, noise=NOISE):
    return stim.Circuit.generated(
        "surface_code:rotated_memory_z",
        distance=distance,
        rounds=rounds,
        after_clifford_depolarization=noise,
        after_reset_flip_probability=noise,
        before_round_data_depolarization=noise,
        before_measure_flip_probability=noise,
    )


def compile_and_sample(compile_sampler, shots, **options):
    """Times compile_sampler() and one sample(shots, **options) call: (compile s, sample s, the shots)."""
    t_compile, sampler = timed(compile_sampler)
    t_sample, shots_out = timed(lambda: sampler.sample(shots, **options))
    return t_compile, t_sample, shots_out


def side_by_side(ours, theirs, shots, repeats, seconds=20, **options):
    """Best compile, sample and compile + sample of lumora's `ours(seed)` and stim's `theirs(seed)`, taking turns
    for `repeats` rounds (fewer once `seconds` are spent). Returns {name: (compile, sample, total, last shots)}."""
    best = {"lumora": [float("inf")] * 3, "stim": [float("inf")] * 3}
    last = {}
    spent = 0.0
    for seed in range(repeats):
        for name, make in (("lumora", ours), ("stim", theirs)):
            t_compile, t_sample, out = compile_and_sample(lambda make=make, seed=seed: make(seed), shots, **options)
            times = (t_compile, t_sample, t_compile + t_sample)
            best[name] = [min(b, t) for b, t in zip(best[name], times)]
            last[name] = out
            spent += t_compile + t_sample
        if spent > seconds:
            break
    return {name: (*best[name], last[name]) for name in best}


# -- a: detection events of a surface-code memory -----------------------------------------------------------------


def workload_a():
    distance, rounds, shots = size(11, 7), size(100, 30), 10_000
    theirs = surface_code(distance, rounds)
    ours = lumora.Circuit(str(theirs))
    header(
        f"a. detection events: rotated surface code d={distance}, {rounds} rounds, p={NOISE}, {shots} shots "
        f"({theirs.num_qubits} qubits, {theirs.num_detectors} detectors)"
    )
    for packed in (False, True):
        found = side_by_side(
            lambda seed: ours.compile_detector_sampler(seed=seed),
            lambda seed: theirs.compile_detector_sampler(seed=seed),
            shots,
            REPEATS,
            bit_packed=packed,
        )
        (l_compile, l_sample, l_total, l_out), (s_compile, s_sample, s_total, s_out) = found["lumora"], found["stim"]
        kind = ", bit-packed" if packed else ""
        if not packed:
            row("compile_detector_sampler", l_compile, s_compile)
        row(f"sample {shots} shots{kind}", l_sample, s_sample)
        row(f"compile + sample {shots} shots{kind}", l_total, s_total)
        if not packed:
            SUMMARY.append(
                f"a  d={distance}, {rounds} rounds, {shots} shots, compile + sample: lumora {l_total:.3f} s, "
                f"stim {s_total:.3f} s, stim/lumora {s_total / l_total:.2f} (target >= 1, goal 2)"
            )
            print(f"  detection events per detector and shot: lumora {l_out.mean():.5f}, stim {s_out.mean():.5f}")


# -- b: measurement sampling of one round at large distances ------------------------------------------------------


def workload_b():
    shots = 1000
    header(f"b. measurement sampling: rotated surface code, 1 round, compile + {shots} shots")
    for distance in size((51, 101), (21, 31)):
        for noise in (NOISE, 0.0):
            theirs = surface_code(distance, 1, noise)
            ours = lumora.Circuit(str(theirs))
            found = side_by_side(
                lambda seed, ours=ours: ours.compile_sampler(seed=seed),
                lambda seed, theirs=theirs: theirs.compile_sampler(seed=seed),
                shots,
                REPEATS,
            )
            (l_compile, l_sample, l_total, _), (s_compile, s_sample, s_total, _) = found["lumora"], found["stim"]
            what = f"d={distance} ({theirs.num_qubits} qubits), " + (f"p={noise}" if noise else "noiseless")
            row(f"{what}: compile_sampler", l_compile, s_compile)
            row(f"{what}: sample {shots} shots", l_sample, s_sample)
            row(f"{what}: both", l_total, s_total)
            if noise:
                target = {51: " (target >= 2)", 101: " (target >= 10)"}.get(distance, "")
                SUMMARY.append(
                    f"b  d={distance}, 1 round, p={noise}, compile + {shots} shots: lumora {l_total:.3f} s, "
                    f"stim {s_total:.3f} s, stim/lumora {s_total / l_total:.1f}{target}"
                )


# -- c: a large cluster state with Pauli feedback, in a fresh interpreter per size --------------------------------


def cluster_text(side, pattern, noise=NOISE):
    """The L x L cluster circuit of workload c, L = side. pattern "x": rows in X, the last one in Y; "checker":
    X and Y alternating along each row and from row to row."""
    n = side * side
    every = " ".join(map(str, range(n)))
    horizontal = " ".join(f"{q} {q + 1}" for q in range(n) if q % side != side - 1)
    vertical = " ".join(f"{q} {q + side}" for q in range(n - side))
    parts = [f"H {every}", f"DEPOLARIZE1({noise}) {every}"]
    parts += [f"CZ {horizontal}", f"DEPOLARIZE2({noise}) {horizontal}"]
    parts += [f"CZ {vertical}", f"DEPOLARIZE2({noise}) {vertical}"]
    for r in range(side):
        first = r * side
        if pattern == "x":
            basis = "Y" if r == side - 1 else "X"
            parts.append(f"M{basis}({noise}) " + " ".join(map(str, range(first, first + side))))
        else:
            parts += [f"M{'XY'[(r + c) % 2]}({noise}) {first + c}" for c in range(side)]
        if r + 1 < side:
            # qubit c of this row is rec[c - side]: its outcome flips Z on the qubit below it
            parts.append("CZ " + " ".join(f"rec[{c - side}] {first + side + c}" for c in range(side)))
    return "\n".join(parts) + "\n"


def peak_rss_bytes():
    """The process's peak resident size: VmHWM where /proc has it (Linux), else ru_maxrss. On Linux a child's
    ru_maxrss starts at its parent's peak (it is inherited at fork), so it would show this script's own peak."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024  # bytes on macOS, KiB elsewhere


def cluster_child(side, pattern, shots, with_stim):
    """Runs in a fresh interpreter: workload c at one size, printed as one JSON line."""
    found = {"qubits": side * side, "rss_start": peak_rss_bytes()}
    found["text"], text = timed(lambda: cluster_text(side, pattern))
    found["megabytes"] = len(text) / 1e6
    found["parse"], ours = timed(lambda: lumora.Circuit(text))
    found["compile"], sampler = timed(lambda: ours.compile_sampler(seed=1))
    found["sample"], out = timed(lambda: sampler.sample(shots, bit_packed=True))
    found["method"] = sampler.method
    found["rss"] = peak_rss_bytes()
    del sampler, out
    if with_stim:
        found["stim_parse"], theirs = timed(lambda: stim.Circuit(text))
        found["stim_compile"], sampler = timed(lambda: theirs.compile_sampler(seed=1))
        found["stim_sample"], _ = timed(lambda: sampler.sample(shots, bit_packed=True))
    print(json.dumps(found))


def run_cluster(side, pattern, shots, with_stim):
    command = [sys.executable, os.path.abspath(__file__), "--cluster-child", str(side), pattern, str(shots)]
    done = subprocess.run(command + (["stim"] if with_stim else []), capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def workload_c():
    shots = 1000
    stim_side = size(100, 50)
    header(
        f"c. L x L cluster state, p={NOISE}, rows measured in X with Z corrections on the next row, the last row in "
        f"Y; {shots} shots, bit-packed; a fresh interpreter per size"
    )
    for side in size((100, 1000), (50, 100)):
        with_stim = side <= stim_side
        found = run_cluster(side, "x", shots, with_stim)
        stim_total = found["stim_compile"] + found["stim_sample"] if with_stim else None
        total = found["compile"] + found["sample"]
        n = found["qubits"]
        print(f"  L={side}, {n} qubits: text of {found['megabytes']:.1f} MB written in {found['text']:.2f} s")
        row(f"L={side}: parse", found["parse"], found.get("stim_parse"))
        row(f"L={side}: compile_sampler (reference shot)", found["compile"], found.get("stim_compile"))
        row(f"L={side}: sample {shots} shots", found["sample"], found.get("stim_sample"))
        row(f"L={side}: compile + sample", total, stim_total)
        start, peak = found["rss_start"] / 2**30, found["rss"] / 2**30
        print(f"  L={side}: lumora peak resident {peak:.2f} GiB (the interpreter with numpy and stim: {start:.2f} GiB)")
        if side == max(size((100, 1000), (50, 100))):
            SUMMARY.append(
                f"c  {side}x{side} cluster ({n} qubits), {shots} shots: parse + compile + sample "
                f"{found['parse'] + total:.3g} s, peak resident {peak:.2f} GiB (target < 60 s, < 8 GB)"
            )

    header(f"c'. the same with X and Y alternating along every row (checkerboard), {shots} shots")
    for side in size((100, 200), (50, 100)):
        with_stim = side <= 50  # stim takes seconds at L = 50 here, and about 16 times that at L = 100
        found = run_cluster(side, "checker", shots, with_stim)
        stim_total = found["stim_compile"] + found["stim_sample"] if with_stim else None
        row(f"L={side}: compile_sampler (reference shot)", found["compile"], found.get("stim_compile"))
        row(f"L={side}: compile + sample", found["compile"] + found["sample"], stim_total)


# -- d: shot by shot, with non-Pauli feedback ---------------------------------------------------------------------


def feedback_pattern(side, gate):
    """A side x side cluster measured column by column in X, each outcome conditioning `gate` on the qubit to its
    right. Returns the opening's text (H, CZ), the rest's (MX, IF blocks) and the operations of each."""
    n = side * side
    every = " ".join(map(str, range(n)))
    horizontal = " ".join(f"{q} {q + 1}" for q in range(n) if q % side != side - 1)
    vertical = " ".join(f"{q} {q + side}" for q in range(n - side))
    opening = f"H {every}\nCZ {horizontal}\nCZ {vertical}\n"
    parts = []
    for c in range(side):
        column = [r * side + c for r in range(side)]
        parts.append("MX " + " ".join(map(str, column)))
        if c + 1 < side:
            parts += [f"IF rec[{r - side}] {{\n    {gate} {q + 1}\n}}" for r, q in enumerate(column)]
    return opening, "\n".join(parts) + "\n", n + 2 * side * (side - 1), n + side * (side - 1)


def best_do(n, circuit):
    """Best time of a whole run of `circuit` by do() on a fresh Lumora(n)."""
    lumora.Lumora(n, seed=0).do(circuit)  # the circuit's program is compiled at its first run
    return min(timed(lambda seed=seed: lumora.Lumora(n, seed=seed).do(circuit))[0] for seed in range(REPEATS))


def workload_d():
    side = 100
    n = side * side
    header(
        f"d. shot by shot: {side} x {side} cluster measured column by column in X, IF blocks on the next column",
        ("seconds", "ns per op", "shots/s"),
    )

    def line(label, seconds, ops=None, rate=None):
        ns = f"{seconds / ops * 1e9:13.1f}" if ops else f"{'':13}"
        rate_text = f"{rate:13.1f}" if rate else f"{'':13}"
        print(f"  {label:56} {seconds:13.5f} {ns} {rate_text}", flush=True)

    for gate, shots in (("H", size(2048, 512)), ("S", size(10, 4))):
        opening_text, rest_text, opening, rest = feedback_pattern(side, gate)
        circuit = lumora.Circuit(opening_text + rest_text)
        t_do = best_do(n, circuit)
        t_opening = best_do(n, lumora.Circuit(opening_text))
        t_compile, sampler = timed(lambda circuit=circuit: circuit.compile_sampler(seed=1))
        if sampler.method != "shot_by_shot":
            raise RuntimeError(f"expected the shot-by-shot method, got {sampler.method}")
        per_shot = {}
        for threads in (1, 2):
            runs = [timed(lambda t=threads, s=sampler, k=shots: s.sample(k, threads=t))[0] for _ in range(2)]
            per_shot[threads] = min(runs) / shots
        name = f"IF {{ {gate} }}"
        line(f"{name}: do(), one whole run ({opening + rest} ops)", t_do, opening + rest)
        line(f"{name}: do() of the opening ({opening} ops)", t_opening, opening)
        line(f"{name}: do() of the rest ({rest} ops), by difference", t_do - t_opening, rest)
        line(f"{name}: compile_sampler", t_compile)
        for threads in (1, 2):
            line(
                f"{name}: one of {shots} shots, threads={threads} ({rest} ops)",
                per_shot[threads],
                rest,
                1 / per_shot[threads],
            )
        blocks = -(-shots // 256)
        print(
            f"  {name}: a shot / do()'s rest: {per_shot[1] / (t_do - t_opening):.2f}; threads=2 speed-up "
            f"{per_shot[1] / per_shot[2]:.2f} ({blocks} block{'s' if blocks > 1 else ''} of 256 shots)",
            flush=True,
        )
        SUMMARY.append(
            f"d  {side}x{side} cluster, {name} feedback: {1 / per_shot[1]:.1f} shots/s, "
            f"{per_shot[1] / rest * 1e9:.0f} ns per op of a shot against {(t_do - t_opening) / rest * 1e9:.0f} "
            f"for the same ops in do()"
        )


# -- e: two threads against one ----------------------------------------------------------------------------------


def workload_e():
    distance, rounds, shots = size(11, 7), size(100, 30), 10_000
    sampler = lumora.Circuit(str(surface_code(distance, rounds))).compile_detector_sampler(seed=1)
    sampler.sample(shots)  # first touch of the output's memory, outside the timings)
    header(
        f"e. threads: workload a's sampling (d={distance}, {rounds} rounds, {shots} shots), 2 threads against 1",
        ("1 thread ms", "2 threads ms", "speed-up"),
    )
    for packed in (False, True):
        best = {1: float("inf"), 2: float("inf")}
        for _ in range(10):  # the 2-thread time needs a moment when both cores are free: more repeats
            for threads in (1, 2):
                t, _ = timed(lambda t=threads, p=packed: sampler.sample(shots, threads=t, bit_packed=p))
                best[threads] = min(best[threads], t)
        label = "sample, bit-packed" if packed else "sample, bool"
        print(f"  {label:56} {ms(best[1])} {ms(best[2])} {best[1] / best[2]:13.2f}", flush=True)
        if not packed:
            SUMMARY.append(f"e  threads=2 / threads=1 on a's sampling: {best[1] / best[2]:.2f}x (target >= 1.8)")


WORKLOADS = {"a": workload_a, "b": workload_b, "c": workload_c, "d": workload_d, "e": workload_e}


def main():
    global QUICK
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", nargs="+", choices=WORKLOADS, default=list(WORKLOADS), help="workloads to run")
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    parser.add_argument("--cluster-child", nargs="+", help=argparse.SUPPRESS)  # side pattern shots [stim]
    args = parser.parse_args()
    if args.cluster_child:
        side, pattern, shots, *rest = args.cluster_child
        cluster_child(int(side), pattern, int(shots), rest == ["stim"])
        return
    QUICK = args.quick
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    load = ", ".join(f"{v:.2f}" for v in os.getloadavg())
    print(f"lumora against stim {stim.__version__}{' (quick sizes)' if QUICK else ''}; {cores} cores, load {load}")
    for name in args.only:
        WORKLOADS[name]()
    print("\nSummary")
    for line in SUMMARY:
        print(f"  {line}")


if __name__ == "__main__":
    main()
