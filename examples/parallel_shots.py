"""Many shots of one prepared state, sampled in parallel.

The state (a GHZ state on ten qubits) is prepared once. The prepared
simulator travels to each worker by pickling; a worker takes copies of it,
one per shot, and measures every qubit of its copy in the Z basis.

Randomness is reproducible: the top-level seed is split into one
SeedSequence per worker, each worker derives one seed per shot from its
own sequence, and each shot runs on `prepared.copy(seed=...)`. Results are
gathered in worker order, so the same seed and worker count give the same
list of shots however the workers are scheduled.

Two backends:
- `process`: a ProcessPoolExecutor on this machine. Its workers start
  fresh ("forkserver" where the platform has it, else "spawn") rather than
  as forks of this process: a fork taken while other threads run (the
  pool's own among them) can inherit a lock that no thread will release.
- `dask`: a dask.distributed cluster, for runs that outgrow one machine
  (`pip install 'lumora[dask]'`). By default a LocalCluster is started;
  `--address` connects to a running scheduler instead.

    python examples/parallel_shots.py --backend process --shots 10000 --workers 4 --seed 1
"""

from __future__ import annotations

import argparse
import importlib
import multiprocessing
import os
import sys
from collections import Counter
from concurrent.futures import ProcessPoolExecutor

from numpy import uint64
from numpy.random import SeedSequence

from lumora import Lumora

Shot = tuple[int, ...]  # one bit per qubit: 0 for +1, 1 for -1


def prepare_ghz(qubits: int = 10) -> Lumora:
    """The GHZ state (|0...0> + |1...1>)/sqrt(2), prepared along a chain of CX gates."""
    sim = Lumora(qubits)
    sim.h(0)
    for target in range(1, qubits):
        sim.cx(target - 1, target)
    return sim


def split_shots(shots: int, workers: int) -> list[int]:
    """How many shots each worker takes: as even as possible, the first ones one more."""
    if shots < 0 or workers < 1:
        raise ValueError("shots must be >= 0 and workers >= 1")
    base, extra = divmod(shots, workers)
    return [base + (1 if i < extra else 0) for i in range(workers)]


def shot_seeds(sequence: SeedSequence, count: int) -> list[int]:
    """`count` 128-bit seeds drawn from one worker's SeedSequence."""
    words = sequence.generate_state(2 * count, dtype=uint64)
    return [int(words[2 * i]) | int(words[2 * i + 1]) << 64 for i in range(count)]


def run_shots(prepared: Lumora, sequence: SeedSequence, count: int) -> list[Shot]:
    """One worker's share: `count` shots, each on a freshly seeded copy."""
    shots = []
    for seed in shot_seeds(sequence, count):
        sim = prepared.copy(seed=seed)
        shots.append(tuple(int(sim.measure_z(q)) for q in range(sim.num_qubits)))
    return shots


def worker_plan(shots: int, workers: int, seed: int) -> list[tuple[SeedSequence, int]]:
    """Each worker's SeedSequence and share of the shots, in worker order."""
    return list(zip(SeedSequence(seed).spawn(workers), split_shots(shots, workers)))


def worker_start_context() -> multiprocessing.context.BaseContext:
    """How pool workers start: never as forks of this (possibly threaded) process."""
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return multiprocessing.get_context(method)


def sample_with_processes(sim: Lumora, shots: int, workers: int, seed: int) -> list[Shot]:
    """Samples `shots` shots of `sim` on a pool of `workers` processes."""
    plan = worker_plan(shots, workers, seed)
    with ProcessPoolExecutor(max_workers=workers, mp_context=worker_start_context()) as pool:
        futures = [pool.submit(run_shots, sim, sequence, count) for sequence, count in plan]
        return [shot for future in futures for shot in future.result()]


def sample_with_dask(sim: Lumora, shots: int, workers: int, seed: int, address: str | None = None) -> list[Shot]:
    """Samples `shots` shots of `sim` as `workers` tasks on a dask.distributed cluster.

    Without `address`, a LocalCluster of `workers` single-threaded processes
    is started for the run and closed afterwards.
    """
    # Imported when used, by name: dask is optional, and only partly typed,
    # so its objects are handled untyped here whether it is installed or not.
    try:
        distributed = importlib.import_module("dask.distributed")
    except ImportError as error:
        raise ImportError("the dask backend requires dask.distributed: pip install 'lumora[dask]'") from error
    plan = worker_plan(shots, workers, seed)
    if address is None:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True)
        client = distributed.Client(cluster)
    else:
        cluster = None
        client = distributed.Client(address)
    try:
        # The prepared state is sent to the workers once; tasks refer to it.
        prepared = client.scatter(sim, broadcast=True)
        futures = [client.submit(run_shots, prepared, sequence, count, pure=False) for sequence, count in plan]
        results: list[list[Shot]] = client.gather(futures)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return [tuple(shot) for result in results for shot in result]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Sample shots of a GHZ state in parallel.")
    parser.add_argument("--backend", choices=("process", "dask"), default="process")
    parser.add_argument("--shots", type=int, default=2000)
    parser.add_argument("--workers", type=int, default=min(4, os.cpu_count() or 1))
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--qubits", type=int, default=10)
    parser.add_argument("--address", help="a dask scheduler to use instead of a local cluster")
    args = parser.parse_args(argv)

    prepared = prepare_ghz(args.qubits)
    if args.backend == "process":
        results = sample_with_processes(prepared, args.shots, args.workers, args.seed)
    else:
        try:
            results = sample_with_dask(prepared, args.shots, args.workers, args.seed, args.address)
        except ImportError as error:
            print(error, file=sys.stderr)
            return 2

    counts = Counter("".join(map(str, shot)) for shot in results)
    print(f"{len(results)} shots of a {args.qubits}-qubit GHZ state on {args.workers} workers ({args.backend}):")
    for bits, count in sorted(counts.items()):
        print(f"  |{bits}>: {count}")
    if any(len(set(shot)) != 1 for shot in results):
        print("a shot broke the GHZ correlation", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
