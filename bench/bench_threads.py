"""Threads with simulators of their own: long calls let the interpreter lock go, so two threads run in parallel.
Run on demand, on an otherwise idle machine (the ratio needs two free cores).

    python bench/bench_threads.py
"""

import threading
import time

import lumora

QUBITS = 2000
ROUNDS = 3000  # each round: H on every qubit, a chain of CZ, X measurements of every qubit


def make_circuit():
    body = "\n".join(
        [
            "H " + " ".join(map(str, range(QUBITS))),
            "CZ " + " ".join(f"{q} {q + 1}" for q in range(QUBITS - 1)),
            "MX " + " ".join(map(str, range(QUBITS))),
        ]
    )
    return lumora.Circuit(f"REPEAT {ROUNDS} {{\n{body}\n}}")


def work(circuit, seed):
    lumora.Lumora(QUBITS, seed=seed).do(circuit)


def main():
    circuit = make_circuit()
    work(circuit, 0)  # compile once, warm up
    best_one, best_two = float("inf"), float("inf")
    for _ in range(5):
        start = time.perf_counter()
        work(circuit, 1)
        work(circuit, 2)
        best_one = min(best_one, time.perf_counter() - start)
        threads = [threading.Thread(target=work, args=(circuit, seed)) for seed in (1, 2)]
        start = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        best_two = min(best_two, time.perf_counter() - start)
    print(f"two runs one after the other: {best_one:.3f} s")
    print(f"two runs in two threads:      {best_two:.3f} s")
    print(f"speed-up: {best_one / best_two:.2f}x")


if __name__ == "__main__":
    main()
