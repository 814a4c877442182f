"""Time per operation of lumora and stim's TableauSimulator against the number of qubits, plotted log-log.

Both run the same circuit text in one call each (`Lumora.do` and `TableauSimulator.do`), on three workloads:

- GHZ: H on qubit 0, CX from it to every other qubit, then M on every qubit;
- 1D cluster: H on every qubit, CZ along the line, then MX on every qubit in order;
- random: 20 n operations on n qubits: 10% Z measurements, 45% H or S on a random qubit, 45% CZ on a random pair.

A point is the best of a few runs (one for long runs) of the whole circuit on a fresh simulator, divided by its
operations (one per target, or pair of targets); parsing is not timed. A simulator skips the larger sizes of a
workload once its time for the next size, extrapolated from the last two, would pass the budget (--budget seconds);
stim also stops where its tableau (4 n^2 bits) would pass 1 GiB. Writes docs/lumora-vs-stim.png by default:

    python bench/plot_vs_stim.py                     # about a minute
    python bench/plot_vs_stim.py --quick out.png     # smaller sizes, for a smoke run

Needs stim and matplotlib (pip install stim matplotlib).
"""

import argparse
import math
import platform
import random
import time
from pathlib import Path

import stim
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

import lumora

ROOT = Path(__file__).resolve().parents[1]
SIZES = [100, 300, 1000, 3000, 10_000, 30_000, 100_000, 300_000, 1_000_000]
STIM_MEMORY = 1 << 30  # bytes of tableau, 4 n^2 bits


def qubits(n):
    return " ".join(map(str, range(n)))


def ghz(n):
    return f"H 0\nCX {' '.join(f'0 {q}' for q in range(1, n))}\nM {qubits(n)}", 2 * n


def cluster(n):
    return f"H {qubits(n)}\nCZ {' '.join(f'{q} {q + 1}' for q in range(n - 1))}\nMX {qubits(n)}", 3 * n - 1


def random_circuit(n):
    rng, lines = random.Random(n), [f"H {qubits(n)}"]
    for _ in range(20 * n):
        u = rng.random()
        if u < 0.1:
            lines.append(f"M {rng.randrange(n)}")
        elif u < 0.55:
            lines.append(f"{rng.choice('HS')} {rng.randrange(n)}")
        else:
            lines.append("CZ {} {}".format(*rng.sample(range(n), 2)))
    return "\n".join(lines), 21 * n


WORKLOADS = {
    "GHZ: fan-out CX, M all": (ghz, SIZES),
    "1D cluster: CZ line, MX all": (cluster, SIZES),
    "random: 20 n ops, 10% M": (random_circuit, SIZES[:5]),  # up to 10^4: see the note under the plot
}


def run_lumora(n, text):
    circuit = lumora.Circuit(text)

    def once():
        sim = lumora.Lumora(n)
        start = time.perf_counter()
        sim.do(circuit)
        return time.perf_counter() - start

    return once


def run_stim(n, text):
    circuit = stim.Circuit(text)

    def once():
        sim = stim.TableauSimulator()
        sim.set_num_qubits(n)
        start = time.perf_counter()
        sim.do(circuit)
        return time.perf_counter() - start

    return once


def best(once):
    first = once()
    return min([first] + [once() for _ in range(2)]) if first < 1 else first


def sweep(name, make, sizes, runner, budget, limit=math.inf):
    """{n: seconds per op} over the sizes a simulator runs within the budget."""
    times, last = {}, []
    for n in sizes:
        if n > limit:
            break
        if len(last) == 2:  # extrapolate from the last two points: total time ~ n^k
            (n0, t0), (n1, t1) = last
            slope = math.log(t1 / t0) / math.log(n1 / n0) if t1 > t0 else 1
            if t1 * (n / n1) ** max(slope, 1) > budget:
                break
        text, ops = make(n)
        total = best(runner(n, text))
        times[n] = total / ops
        last = (last + [(n, total)])[-2:]
        print(f"  {name:6} n = {n:>9,}: {total / ops * 1e9:>10.0f} ns per op ({total:.3f} s)", flush=True)
    return times


def processor():
    try:
        with open("/proc/cpuinfo") as info:
            return next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.machine()


def plot(results, path):
    figure = Figure(figsize=(13, 4.8), dpi=110)
    FigureCanvasAgg(figure)
    panels = figure.subplots(1, len(results), sharey=True)
    for axes, (title, series) in zip(panels, results.items()):
        for name, colour, marker in (("lumora", "tab:blue", "o"), ("stim", "tab:red", "s")):
            points = series[name]
            if points:
                ns = [t * 1e9 for t in points.values()]
                axes.plot(list(points), ns, label=name, linewidth=2, color=colour, marker=marker)
        ours, theirs = series["lumora"], series["stim"]
        common = [n for n in ours if n in theirs]
        ratio = f"at n = {common[-1]:,}: stim / lumora = {theirs[common[-1]] / ours[common[-1]]:,.0f}" if common else ""
        axes.set_xscale("log")
        axes.set_yscale("log")
        axes.set_title(title, fontsize=10)
        axes.set_xlabel("qubits n")
        axes.grid(True, which="major", alpha=0.4)
        axes.grid(True, which="minor", alpha=0.12)
        axes.legend(loc="upper left", fontsize=9, title=ratio, title_fontsize=8, alignment="left")
    every = [t * 1e9 for series in results.values() for points in series.values() for t in points.values()]
    panels[0].set_ylim(min(every) / 1.5, max(every) * 20)  # room above the lines for the legends
    panels[0].set_ylabel("time per operation (ns)")
    figure.suptitle(
        f"lumora {lumora.__version__} Lumora.do vs stim {stim.__version__} TableauSimulator.do, same circuit text; "
        f"one thread, {processor()}, Python {platform.python_version()}",
        fontsize=10,
    )
    figure.text(
        0.5,
        0.01,
        "stim stops where its next run would pass the time budget, or its 4 n^2-bit tableau 1 GiB.\n"
        "lumora's random circuits stop at 10^4: on 3 x 10^4 qubits a dense group outgrows the 8192 members "
        "a bit matrix holds, and operations slow to 1 ms and more each.",
        ha="center",
        fontsize=8,
    )
    figure.tight_layout(rect=(0, 0.06, 1, 0.95))
    figure.savefig(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", nargs="?", default=str(ROOT / "docs" / "lumora-vs-stim.png"), help="the PNG to write")
    parser.add_argument("--budget", type=float, default=8.0, help="seconds a single run may be expected to take")
    parser.add_argument("--quick", action="store_true", help="sizes up to 3000 and a budget of 1 s")
    args = parser.parse_args()
    budget = 1.0 if args.quick else args.budget
    lumora.Lumora(2).do(lumora.Circuit("H 0\nS 1\nCZ 0 1\nCX 0 1\nM 0\nMX 1"))  # first use: set-up not timed
    started, results = time.perf_counter(), {}
    for title, (make, sizes) in WORKLOADS.items():
        sizes = [n for n in sizes if n <= 3000] if args.quick else sizes
        print(title)
        results[title] = {
            "lumora": sweep("lumora", make, sizes, run_lumora, budget),
            "stim": sweep("stim", make, sizes, run_stim, budget, limit=math.isqrt(STIM_MEMORY * 2)),
        }
    plot(results, args.out)
    print(f"wrote {args.out} in {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
