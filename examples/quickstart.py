"""A first look at lumora: a Bell pair, a GHZ state and measurement statistics."""

from collections import Counter

from lumora import Lumora, MeasurementResult


def bell_pair() -> None:
    sim = Lumora(2)
    sim.h(0)
    sim.cx(0, 1)
    print("Bell pair: qubits entangled with 0:", sorted(sim.get_entangled_group(0)))
    first, second = sim.measure_z(0), sim.measure_z(1)
    print(f"  measured {first} and {second}: always equal -> {first == second}")


def ghz_statistics(qubits: int = 5, shots: int = 2000) -> None:
    counts: Counter[str] = Counter()
    for _ in range(shots):
        sim = Lumora(qubits)
        sim.h(0)
        for target in range(1, qubits):
            sim.cx(0, target)
        bits = "".join("1" if sim.measure_z(q) == MeasurementResult.MinusOne else "0" for q in range(qubits))
        counts[bits] += 1
    print(f"GHZ state on {qubits} qubits, {shots} shots:")
    for bits, count in sorted(counts.items()):
        print(f"  |{bits}>: {count}")


def preview() -> None:
    sim = Lumora(3)
    sim.h(0)
    sim.cx(0, 1)
    sim.cx(1, 2)
    outcomes = sim.peek_measure_set({0, 1, 2})
    print("A preview in randomly chosen bases (the state is left as it was):")
    for qubit, outcome in sorted(outcomes.items()):
        print(f"  qubit {qubit}: {outcome}")
    print("  still entangled:", sorted(sim.get_entangled_group(0)))


if __name__ == "__main__":
    bell_pair()
    ghz_statistics()
    preview()
