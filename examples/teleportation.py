"""Quantum teleportation of the six Pauli eigenstates.

Qubit 0 holds the state to send, qubits 1 and 2 share a Bell pair. After
the sender's Bell measurement and the receiver's corrections, qubit 2 holds
the state; measuring it in the state's own basis always gives +1.
"""

from lumora import Lumora, MeasurementResult

MINUS = MeasurementResult.MinusOne

# How to prepare each eigenstate from |0>, and how to measure in its basis.
STATES = {
    "|0>": ([], "measure_z", False),
    "|1>": (["x"], "measure_z", True),
    "|+>": (["h"], "measure_x", False),
    "|->": (["x", "h"], "measure_x", True),
    "|+i>": (["h", "s"], "measure_y", False),
    "|-i>": (["h", "sdag"], "measure_y", True),
}


def teleport(preparation: list[str]) -> Lumora:
    sim = Lumora(3)
    for gate in preparation:
        getattr(sim, gate)(0)
    sim.h(1)
    sim.cx(1, 2)
    # Bell measurement of qubits 0 and 1.
    sim.cx(0, 1)
    flip_phase = sim.measure_x(0) == MINUS
    flip_bit = sim.measure_z(1) == MINUS
    if flip_bit:
        sim.x(2)
    if flip_phase:
        sim.z(2)
    return sim


if __name__ == "__main__":
    for name, (preparation, measurement, is_minus) in STATES.items():
        results = {getattr(teleport(preparation), measurement)(2) == MINUS for _ in range(200)}
        ok = results == {is_minus}
        print(f"{name:5} teleported: {'ok' if ok else 'FAILED'}")
        if not ok:
            raise SystemExit(1)
