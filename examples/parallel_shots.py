"""Many shots of a noisy error-correction circuit, sampled in parallel.

The circuit is a rotated surface-code memory experiment as stim generates
it (`surface_code:rotated_memory_z` with depolarizing noise of strength
`--noise` after every Clifford, on resets, on the data qubits before each
round and before measurements). Without stim, a repetition-code memory
circuit with the same kinds of noise is written here instead, so the
example runs on lumora and numpy alone.

The shots are cut into jobs of a fixed size, JOB_SHOTS (a multiple of the
samplers' blocks of 256 shots); the last job takes what is left. Job j
compiles the circuit's detector sampler with a seed of its own, child j of
`SeedSequence(seed)`, which depends on the top-level seed and on j only.
Each job returns how often each detector fired and how often each
observable flipped, and the parent adds the counts up. The plan of jobs
does not depend on the number of workers, and neither do the seeds, so
the same seed gives the same numbers on any number of workers, in any
order of completion.

Two backends:
- `process`: a ProcessPoolExecutor on this machine. Its workers start
  fresh ("forkserver" where the platform has it, else "spawn") rather than
  as forks of this process: a fork taken while other threads run (the
  pool's own among them) can inherit a lock that no thread will release.
- `dask`: a dask.distributed cluster, for runs that outgrow one machine
  (`pip install 'lumora[dask]'`). By default a LocalCluster is started;
  `--address` connects to a running scheduler instead.

    python examples/parallel_shots.py --backend process --shots 100000 --workers 4 --seed 1
"""

from __future__ import annotations

import argparse
import importlib
import multiprocessing
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from numpy.random import SeedSequence

from lumora import Circuit

JOB_SHOTS = 4096  # shots per job: 16 of the samplers' blocks of 256


@dataclass(eq=False)
class Counts:
    """What a run of shots found: events per detector, flips per observable, shots with any flip."""

    shots: int
    detector_events: npt.NDArray[np.int64]
    observable_flips: npt.NDArray[np.int64]
    flipped_shots: int

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Counts):
            return NotImplemented
        return (
            (self.shots, self.flipped_shots) == (other.shots, other.flipped_shots)
            and np.array_equal(self.detector_events, other.detector_events)
            and np.array_equal(self.observable_flips, other.observable_flips)
        )

    def __add__(self, other: Counts) -> Counts:
        return Counts(
            self.shots + other.shots,
            self.detector_events + other.detector_events,
            self.observable_flips + other.observable_flips,
            self.flipped_shots + other.flipped_shots,
        )


def surface_code_text(distance: int, rounds: int, noise: float) -> str | None:
    """stim's rotated surface-code memory circuit, or None when stim is not installed."""
    # Imported by name, when used: stim is optional here.
    try:
        stim = importlib.import_module("stim")
    except ImportError:
        return None
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z",
        distance=distance,
        rounds=rounds,
        after_clifford_depolarization=noise,
        after_reset_flip_probability=noise,
        before_round_data_depolarization=noise,
        before_measure_flip_probability=noise,
    )
    return str(circuit)


def repetition_code_text(distance: int, rounds: int, noise: float) -> str:
    """A repetition-code memory circuit: `distance` data qubits (even indices) in |0>, checked for bit flips by
    the `distance - 1` qubits between them (odd indices) for `rounds` rounds, then measured."""
    data = list(range(0, 2 * distance, 2))
    checks = list(range(1, 2 * distance - 1, 2))
    k = len(checks)

    def targets(qubits: list[int]) -> str:
        return " ".join(map(str, qubits))

    left = [q for check in checks for q in (check - 1, check)]  # each check's left data qubit onto it
    right = [q for check in checks for q in (check + 1, check)]  # and its right one
    one_round = [
        f"DEPOLARIZE1({noise}) {targets(data)}",
        f"CX {targets(left)}",
        f"DEPOLARIZE2({noise}) {targets(left)}",
        f"CX {targets(right)}",
        f"DEPOLARIZE2({noise}) {targets(right)}",
        f"X_ERROR({noise}) {targets(checks)}",
        f"MR {targets(checks)}",
        f"X_ERROR({noise}) {targets(checks)}",
    ]
    lines = [f"R {targets(data + checks)}", f"X_ERROR({noise}) {targets(data + checks)}"]
    # Round 1: each check starts out 0. Later rounds: each check against itself one round before.
    lines += one_round + [f"DETECTOR rec[{-k + i}]" for i in range(k)]
    if rounds > 1:
        lines.append(f"REPEAT {rounds - 1} {{")
        lines += one_round + [f"DETECTOR rec[{-k + i}] rec[{-2 * k + i}]" for i in range(k)]
        lines.append("}")
    # The data qubits: each pair's parity against its check's last outcome, and the last qubit as the observable.
    d = distance
    lines += [f"X_ERROR({noise}) {targets(data)}", f"M {targets(data)}"]
    lines += [f"DETECTOR rec[{-d + i}] rec[{-d + i + 1}] rec[{-d - k + i}]" for i in range(k)]
    lines.append("OBSERVABLE_INCLUDE(0) rec[-1]")
    return "\n".join(lines) + "\n"


def memory_circuit(distance: int, rounds: int, noise: float) -> tuple[Circuit, str]:
    """The circuit to sample, and what it is."""
    text = surface_code_text(distance, rounds, noise)
    if text is not None:
        return Circuit(text), f"rotated surface code, d={distance}, {rounds} rounds, p={noise}"
    text = repetition_code_text(distance, rounds, noise)
    return Circuit(text), f"repetition code (stim is not installed), d={distance}, {rounds} rounds, p={noise}"


def job_plan(shots: int, seed: int, job_shots: int = JOB_SHOTS) -> list[tuple[SeedSequence, int]]:
    """Each job's SeedSequence and number of shots, in job order: all of `job_shots`, the last one what is left.
    Job j's sequence is child j of SeedSequence(seed), whatever the number of jobs."""
    if shots < 0 or job_shots < 1:
        raise ValueError("shots must be >= 0 and job_shots >= 1")
    jobs = -(-shots // job_shots)
    sizes = [min(job_shots, shots - j * job_shots) for j in range(jobs)]
    return list(zip(SeedSequence(seed).spawn(jobs), sizes))


def run_job(circuit: Circuit, sequence: SeedSequence, shots: int) -> Counts:
    """One job: `shots` shots of the circuit's detection events and observable flips, counted."""
    sampler = circuit.compile_detector_sampler(seed=sequence)
    events, flips = sampler.sample(shots, separate_observables=True)
    return Counts(
        shots,
        events.sum(axis=0, dtype=np.int64),
        flips.sum(axis=0, dtype=np.int64),
        int(flips.any(axis=1).sum()),
    )


def no_counts(circuit: Circuit) -> Counts:
    """The counts of no shots: what the jobs' counts are added to."""
    return Counts(0, np.zeros(circuit.num_detectors, np.int64), np.zeros(circuit.num_observables, np.int64), 0)


def worker_start_context() -> multiprocessing.context.BaseContext:
    """How pool workers start: never as forks of this (possibly threaded) process."""
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return multiprocessing.get_context(method)


def sample_with_processes(circuit: Circuit, shots: int, workers: int, seed: int) -> Counts:
    """Samples `shots` shots of `circuit` as jobs on a pool of `workers` processes."""
    total = no_counts(circuit)
    with ProcessPoolExecutor(max_workers=workers, mp_context=worker_start_context()) as pool:
        # The circuit travels with each job, pickled as its text.
        futures = [pool.submit(run_job, circuit, sequence, count) for sequence, count in job_plan(shots, seed)]
        for future in futures:
            total += future.result()
    return total


def sample_with_dask(circuit: Circuit, shots: int, workers: int, seed: int, address: str | None = None) -> Counts:
    """Samples `shots` shots of `circuit` as jobs on a dask.distributed cluster.

    Without `address`, a LocalCluster of `workers` single-threaded processes
    is started for the run and closed afterwards.
    """
    # Imported when used, by name: dask is optional, and only partly typed,
    # so its objects are handled untyped here whether it is installed or not.
    try:
        distributed = importlib.import_module("dask.distributed")
    except ImportError as error:
        raise ImportError("the dask backend requires dask.distributed: pip install 'lumora[dask]'") from error
    if address is None:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True)
        client = distributed.Client(cluster)
    else:
        cluster = None
        client = distributed.Client(address)
    try:
        # The circuit is sent to the workers once; jobs refer to it.
        shared = client.scatter(circuit, broadcast=True)
        plan = job_plan(shots, seed)
        futures = [client.submit(run_job, shared, sequence, count, pure=False) for sequence, count in plan]
        results: list[Counts] = client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    total = no_counts(circuit)
    for counts in results:
        total += counts
    return total


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Sample a noisy surface-code memory circuit in parallel.")
    parser.add_argument("--backend", choices=("process", "dask"), default="process")
    parser.add_argument("--shots", type=int, default=100_000)
    parser.add_argument("--workers", type=int, default=min(4, os.cpu_count() or 1))
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--distance", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--noise", type=float, default=0.005, help="the probability of each noise channel")
    parser.add_argument("--address", help="a dask scheduler to use instead of a local cluster")
    args = parser.parse_args(argv)
    if args.shots < 0 or args.workers < 1 or args.distance < 2 or args.rounds < 1:
        parser.error("--shots must be >= 0, --workers >= 1, --distance >= 2 and --rounds >= 1")

    circuit, name = memory_circuit(args.distance, args.rounds, args.noise)
    if args.backend == "process":
        counts = sample_with_processes(circuit, args.shots, args.workers, args.seed)
    else:
        try:
            counts = sample_with_dask(circuit, args.shots, args.workers, args.seed, args.address)
        except ImportError as error:
            print(error, file=sys.stderr)
            return 2

    jobs = len(job_plan(args.shots, args.seed))
    print(f"{name}: {counts.shots} shots in {plural(jobs, 'job')} on {plural(args.workers, 'worker')} ({args.backend})")
    shots = max(counts.shots, 1)
    events = int(counts.detector_events.sum())
    rate = events / max(counts.shots * circuit.num_detectors, 1)
    print(f"  detection events: {events} over {circuit.num_detectors} detectors, {rate:.6f} per detector and shot")
    busiest = int(counts.detector_events.argmax()) if circuit.num_detectors else 0
    if circuit.num_detectors:
        print(f"  busiest detector: D{busiest}, {counts.detector_events[busiest] / shots:.6f} per shot")
    # Before decoding: a decoder (such as PyMatching) would tell most of these flips from the detection events.
    print(f"  shots with a flipped observable: {counts.flipped_shots}, {counts.flipped_shots / shots:.6f} (undecoded)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
