"""Long calls let the interpreter lock go: other threads run meanwhile, the simulator stays held, Ctrl-C still
stops the call, and a fork meanwhile never frees the half-changed simulator in the child."""

import os
import signal
import threading
import time

import pytest

import lumora

from helpers import in_forked_child

QUBITS = 500


def long_circuit(rounds):
    body = "\n".join(
        [
            "H " + " ".join(map(str, range(QUBITS))),
            "CZ " + " ".join(f"{q} {q + 1}" for q in range(QUBITS - 1)),
            "MX " + " ".join(map(str, range(QUBITS))),
        ]
    )
    return lumora.Circuit(f"REPEAT {rounds} {{\n{body}\n}}")


def timed_rounds(seconds):
    """A round count whose run takes about `seconds`, measured here (after a first run that compiles)."""
    sim, circuit = lumora.Lumora(QUBITS), long_circuit(50)
    sim.do(circuit)
    start = time.perf_counter()
    sim.do(circuit)
    took = time.perf_counter() - start
    return max(50, round(50 * seconds / max(took, 1e-4)))


@pytest.fixture(scope="module")
def circuit():
    return long_circuit(timed_rounds(0.5))


def run_beside(sim, circuit, during):
    """Runs `circuit` on `sim` in a thread and calls `during()` while it runs; returns what `during` returned."""
    started = threading.Event()
    done = {}

    def work():
        started.set()
        done["record"] = sim.do(circuit)

    thread = threading.Thread(target=work)
    thread.start()
    started.wait()
    time.sleep(0.02)
    try:
        return during()
    finally:
        thread.join()
        assert "record" in done


def test_other_threads_run_while_a_circuit_runs(circuit):
    sim, other = lumora.Lumora(QUBITS), lumora.Lumora(4)

    def during():
        ticks, refused = 0, []
        deadline = time.perf_counter() + 0.1
        while time.perf_counter() < deadline:
            ticks += 1
            other.h(0)  # another simulator is free
        try:
            sim.h(0)
        except RuntimeError as error:
            refused.append(str(error))
        return ticks, refused

    ticks, refused = run_beside(sim, circuit, during)
    assert ticks > 1000, "the main thread hardly ran: the call kept the interpreter lock"
    assert refused == ["Already borrowed"]


def test_ctrl_c_stops_a_circuit_running_without_the_lock(circuit):
    sim = lumora.Lumora(QUBITS, seed=4)
    start = time.perf_counter()
    sim.do(circuit)
    full = time.perf_counter() - start
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, full / 10)
        start = time.perf_counter()
        with pytest.raises(KeyboardInterrupt) as info:
            sim.do(circuit)
        elapsed = time.perf_counter() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert elapsed < full / 2
    assert "completed operations" in info.value.__notes__[0]
    sim.h(0)  # usable again


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_fork_while_a_circuit_runs_without_the_lock(circuit):
    sim, other = lumora.Lumora(QUBITS), lumora.Lumora(2)

    def child():
        # the thread changing `sim` does not exist here: its half-done state stays out of reach
        for call in (lambda: sim.h(0), lambda: sim.get_entangled_group(0), sim.graph):
            with pytest.raises(RuntimeError, match=r"^Already"):
                call()
        other.h(0)
        other.cx(0, 1)
        assert other.get_entangled_group(0) == {0, 1}

    status, report = run_beside(sim, circuit, lambda: in_forked_child(child))
    assert status == 0, report
