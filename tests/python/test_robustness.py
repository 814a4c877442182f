"""Robustness: a fork while another thread is inside a call, long calls stopped by a signal, and running out of memory.

The interrupt and memory cases run in a child interpreter (this file run as a script), so that a hang, a crash or
an address-space cap cannot take the test session with it; the child checks everything itself and the test only
reads its exit status and its report. States are checked physically: entangled groups, and measurement outcomes
that the state must fix (GHZ and graph-state stabilizers), never the engine's own record.
"""

import gc
import itertools
import os
import pickle
import random
import resource
import signal
import subprocess
import sys
import threading
import time

import pytest

import lumora

from helpers import WAIT, HookSet, Index, in_forked_child, oob, outcome_text, peek_text, run_python

L, M, A = lumora.Lumora, lumora.MeasurementResult, lumora.Axis
CHILD_TIMEOUT = 60

# Interrupted calls. Each case is timed once at a small size, then scaled (its work grows as size**power) so that
# the uninterrupted call takes about AIM seconds, but never below a size doing ~10^7 edge updates (ten times the
# updates between two signal checks) nor above one whose finished state would pass ~700 MB.
AIM = 0.6
SHORTEST_CALL = 0.15  # seconds an uninterrupted call must take for the timings below to say anything
DENSITY = 0.5  # edge probability of the random graph state

# Calls under an address-space cap: stars small enough to build in a moment, whose hub operations still need a few
# hundred kB that the cap can refuse at any point.
SQUEEZED_LEAVES = 200
PEEKS = 3  # previews taken to check a state without changing it


class Stop(Exception):
    """What a program's own signal handler raises to abandon a call."""


# -- small physics helpers ----------------------------------------------------------------------------------------


def ghz(sim, hub, leaves):
    """(|0..0> + |1..1>)/sqrt2 on hub and leaves, built as a star from the hub."""
    sim.h(hub)
    for q in leaves:
        sim.cx(hub, q)


def z_results(outcomes, qubits):
    return [int(outcomes[q].result) for q in qubits if q in outcomes and outcomes[q].axis == A.Z]


def check_ghz_preview(sim, groups, zeros=()):
    """Checks over a few previews, which leave the state as it is, that the Z outcomes within each of ``groups``
    agree, as in a GHZ state (a hub turned by h is left out), and that ``zeros`` are in |0>."""
    wanted = set(zeros).union(*groups)
    for _ in range(PEEKS):
        outcomes = sim.peek_measure_set(wanted)
        assert set(outcomes) == wanted
        for qubits in groups:
            assert len(set(z_results(outcomes, qubits))) <= 1, f"Z outcomes disagree within {min(qubits)}.."
        for q in zeros:
            assert str(outcomes[q]) == "(Z, +1)", f"qubit {q} left |0>: {outcomes[q]}"


def check_ghz(sim, hub, leaves, family, hub_turned=False):
    """Measures a GHZ state (its hub turned by h when ``hub_turned``) in a pattern whose outcomes it fixes: every Z
    agrees ("z"), or the X outcomes have even parity ("x"). Leaves go first, which keeps the measurements cheap."""
    if family == "z":
        bits = {int(sim.measure_z(q)) for q in leaves}
        bits.add(int(sim.measure_x(hub) if hub_turned else sim.measure_z(hub)))
        assert len(bits) == 1, "the Z outcomes of a GHZ state disagree"
    else:
        bits = [int(sim.measure_x(q)) for q in leaves]
        bits.append(int(sim.measure_z(hub) if hub_turned else sim.measure_x(hub)))
        assert sum(bits) % 2 == 0, "the X outcomes of a GHZ state have odd parity"


def check_usable(sim, a, b):
    """a and b, measured or not, can be reset and entangled again, and show it."""
    for q in (a, b):
        if sim.measure_z(q) == M.MinusOne:
            sim.x(q)
    sim.h(a)
    sim.cx(a, b)
    assert sim.get_entangled_group(a) == {a, b} and sim.measure_z(a) == sim.measure_z(b)


# -- fork while another thread is inside a call -------------------------------------------------------------------


class Gate:
    """Holds a call inside its argument conversion: ``hold`` reports that it was entered, then waits for release."""

    def __init__(self):
        self.entered, self.released = threading.Event(), threading.Event()

    def hold(self):
        self.entered.set()
        if not self.released.wait(WAIT):
            raise TimeoutError("the test never released the call")


def bell_and_spares():
    """A Bell pair on 0 and 1; qubits 2 and 3 in |0>."""
    sim = L(4)
    sim.h(0)
    sim.cx(0, 1)
    return sim


def check_held_h(sim, result):
    assert result is None and peek_text(sim, {2}) == {2: "(X, +1)"}


def check_held_cx(sim, result):
    assert result is None and sim.get_entangled_group(2) == {0, 1, 2} and sim.measure_z(2) == sim.measure_z(1)


def check_held_measure(sim, result):
    assert type(result) is M and str(sim.peek_measure_set({2})[2]) == outcome_text("x", int(result))


def check_held_group(sim, result):
    assert result == {2}


def check_held_peek(sim, result):
    assert {q: str(o) for q, o in result.items()} == {2: "(Z, +1)", 3: "(Z, +1)"}


# the call another thread is inside of when the process forks: whether it holds the object exclusively, the call
# (given an index and a qubit set whose conversion blocks), and what it must have done once it returns
HELD = {
    "gate": (True, lambda s, index, qubits: s.h(index), check_held_h),
    "two-qubit gate": (True, lambda s, index, qubits: s.cx(1, index), check_held_cx),
    "measurement": (True, lambda s, index, qubits: s.measure_x(index), check_held_measure),
    "group": (False, lambda s, index, qubits: s.get_entangled_group(index), check_held_group),
    "peek": (False, lambda s, index, qubits: s.peek_measure_set(qubits), check_held_peek),
}
# re-entrant calls from an argument's __index__: outer call, inner call, refusal
REENTRY = [
    (lambda s, i: s.x(i), lambda s: s.z(0), "Already borrowed"),
    (lambda s, i: s.x(i), lambda s: s.get_entangled_group(0), "Already mutably borrowed"),
    (lambda s, i: s.get_entangled_group(i), lambda s: s.z(0), "Already borrowed"),
    (lambda s, i: s.peek_measure_set({i}), lambda s: s.cz(0, 1), "Already borrowed"),
]


def check_reentry_refused(sim):
    for outer, inner, message in REENTRY:
        with pytest.raises(RuntimeError) as info:
            outer(sim, Index(0, lambda inner=inner: inner(sim)))
        assert type(info.value) is RuntimeError and str(info.value) == message


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
@pytest.mark.parametrize("held", HELD)
def test_fork_while_another_thread_is_inside_a_call(held):
    exclusive, call, check_effect = HELD[held]
    sim, gate, returned = bell_and_spares(), Gate(), {}

    def inside():
        try:
            returned["result"] = call(sim, Index(2, gate.hold), HookSet({2, 3}, gate.hold))
        except BaseException as error:
            returned["error"] = error

    def child():
        # the child has no such thread: the object is free, and holds the state from before that call
        assert sim.get_entangled_group(0) == {0, 1} and sim.get_entangled_group(2) == {2}
        assert peek_text(sim, {2, 3}) == {2: "(Z, +1)", 3: "(Z, +1)"}
        sim.h(2)
        sim.cx(2, 3)
        assert sim.get_entangled_group(3) == {2, 3} and sim.measure_z(3) == sim.measure_z(2)
        check_reentry_refused(sim)
        assert sim.measure_x(2) == sim.measure_x(2) and sim.measure_z(1) == sim.measure_z(0)

    thread = threading.Thread(target=inside)
    thread.start()
    try:
        assert gate.entered.wait(WAIT)
        status, report = in_forked_child(child)
        assert status == 0, report
        # in the parent the other thread still holds the object
        with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
            sim.z(3)
        if exclusive:
            with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
                sim.get_entangled_group(0)
        else:
            assert sim.get_entangled_group(0) == {0, 1}
    finally:
        gate.released.set()
        thread.join(WAIT)
    assert not thread.is_alive() and "error" not in returned, returned.get("error")
    check_effect(sim, returned["result"])
    check_reentry_refused(sim)
    sim.x(3)
    assert peek_text(sim, {3}) == {3: "(Z, -1)"} and sim.measure_z(0) == sim.measure_z(1)


# -- child interpreters -------------------------------------------------------------------------------------------


def progress(text):
    print(text, file=sys.stderr, flush=True)


def run_child(*args):
    try:
        done = run_python(__file__, *args, timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        shown = expired.stderr.decode(errors="replace") if isinstance(expired.stderr, bytes) else expired.stderr
        pytest.fail(f"no result within {CHILD_TIMEOUT} s; the child's progress:\n{shown}")
    assert done.returncode == 0, f"exit status {done.returncode}:\n{done.stderr}"


# -- long calls stopped by a signal -------------------------------------------------------------------------------


def star_case(d):
    """A GHZ star of d leaves, and a Y measurement of its hub (cheap: complementing at a leaf first makes it an X
    measurement); its checks serve the star-based cases."""
    leaves = range(1, d + 1)

    def build():
        sim = L(d + 1)
        ghz(sim, 0, leaves)
        return sim

    def done(sim, result):
        assert sim.get_entangled_group(0) == {0} and sim.get_entangled_group(1) == set(leaves)
        assert str(sim.peek_measure_set({0})[0]) == outcome_text("y", int(result))

    def intact(sim, family):
        assert sim.get_entangled_group(0) == sim.get_entangled_group(d) == set(range(d + 1))
        check_ghz(sim, 0, leaves, family)
        check_usable(sim, 0, d)

    return build, lambda sim: sim.measure_y(0), True, done, intact


def twin_case(d):
    """cz between the hubs of two GHZ stars of d leaves, both hubs turned by h: a hub's operator must be rotated by
    a local complementation, d(d-1)/2 edge updates."""
    a, b = 0, d + 1
    leaves_a, leaves_b = range(1, d + 1), range(d + 2, 2 * d + 2)

    def build():
        sim = L(2 * d + 2)
        ghz(sim, a, leaves_a)
        ghz(sim, b, leaves_b)
        sim.h(a)
        sim.h(b)
        return sim

    def done(sim, result):
        assert result is None and sim.get_entangled_group(a) == set(range(2 * d + 2))

    def intact(sim, family):
        assert sim.get_entangled_group(a) == {a, *leaves_a} and sim.get_entangled_group(b) == {b, *leaves_b}
        check_ghz(sim, a, leaves_a, family, hub_turned=True)
        check_ghz(sim, b, leaves_b, family, hub_turned=True)
        check_usable(sim, a, b)

    return build, lambda sim: sim.cz(a, b), True, done, intact


def dense_case(n):
    """A preview of every qubit of a random graph state on n qubits: a dense graph measured down, ~n^3/30 edge
    updates with the state itself only ~n^2/4 edges."""
    p = DENSITY
    pick = random.Random(20240611)
    neighbors = [set() for _ in range(n)]
    for u in range(n):
        for v in range(u + 1, n):
            if pick.random() < p:
                neighbors[u].add(v)
                neighbors[v].add(u)
    qubits = set(range(n))

    def build():
        sim = L(n)
        for q in range(n):
            sim.h(q)
        for u in range(n):
            for v in neighbors[u]:
                if u < v:
                    sim.cz(u, v)
        return sim

    def done(sim, result):
        assert type(result) is dict and set(result) == qubits

    def intact(sim, family):
        # graph state: X_v times Z on v's neighbours is +1. With a maximal independent set measured in X after all
        # the rest in Z, each X outcome is the parity of its neighbours' Z outcomes. The two families take the set
        # greedily from either end.
        assert sim.get_entangled_group(0) == qubits
        independent = []
        for v in range(n) if family == "z" else reversed(range(n)):
            if not neighbors[v].intersection(independent):
                independent.append(v)
        z = {q: int(sim.measure_z(q)) for q in range(n) if q not in independent}
        for v in independent:
            assert int(sim.measure_x(v)) == sum(z[w] for w in neighbors[v]) % 2, f"stabilizer of {v} broken"
        check_usable(sim, 0, n - 1)

    return build, lambda sim: sim.peek_measure_set(qubits), False, done, intact


def stabilizers_case(n):
    """stabilizers() of the same dense group: an echelon form of n rows of 2n bits, ~n^3/64 word operations."""
    build, _, _, _, intact = dense_case(n)

    def done(sim, result):
        assert len(result) == n and all(len(row) == n + 1 and row[0] in "+-" for row in result)

    return build, lambda sim: sim.stabilizers(), False, done, intact


def chain_case(n):
    """graph() of a linear cluster state: n vertex words and n - 1 edges turned into Python objects."""

    def build():
        sim = L(n)
        for q in range(n):
            sim.h(q)
        for q in range(n - 1):
            sim.cz(q, q + 1)
        return sim

    def done(sim, result):
        assert len(result[0]) == n - 1 and result[0][-1] == (n - 2, n - 1) and len(result[1]) == n

    def intact(sim, family):
        assert len(sim.get_entangled_group(n // 2)) == n
        check_usable(sim, 0, n - 1)

    return build, lambda sim: sim.graph(), False, done, intact


def hub_case(d):
    """get_entangled_group of a GHZ star's hub: one neighbour set of d entries."""
    build, _, _, _, intact = star_case(d)

    def done(sim, result):
        assert len(result) == d + 1

    return build, lambda sim: sim.get_entangled_group(0), False, done, intact


# name: the state and its long call, the size it is timed at, how its work grows with size, its smallest and largest
# size, and what the program's signal handler raises
INTERRUPTS = {
    "cz between two stars' hubs": (twin_case, 1500, 2, (4500, 9000), Stop),
    "peek at a dense graph state": (dense_case, 300, 3, (2500, 3000), KeyboardInterrupt),
    "stabilizers of a dense graph state": (stabilizers_case, 500, 3, (1500, 3000), Stop),
    "graph of a long chain": (chain_case, 200000, 1, (1000000, 4000000), KeyboardInterrupt),
    "group of a large star": (hub_case, 200000, 1, (1000000, 4000000), Stop),
}


def attempt(call):
    try:
        return "ok", call()
    except RuntimeError as error:
        return "refused", str(error)


def interrupt_child(name):
    make, small, power, (smallest, largest), kind = INTERRUPTS[name]
    progress(f"{name}: timing size {small}")
    build, call = make(small)[:2]
    sim = build()
    start = time.perf_counter()
    call(sim)
    took = time.perf_counter() - start
    sim = None
    gc.collect()
    size = min(largest, max(smallest, round(small * (AIM / max(took, 1e-3)) ** (1 / power))))
    build, call, exclusive, done, intact = make(size)
    name = f"{name} (size {size})"

    # 1. The whole call, with a handler that raises nothing: the call runs to its end, and the handler still runs
    # while the call is under way, unable to use the object in a way the call's access forbids.
    progress(f"{name}: building")
    sim, seen = build(), []

    def watch(signum, frame):
        seen.append((time.perf_counter(), attempt(lambda: sim.get_entangled_group(0)), attempt(lambda: sim.z(0))))

    signal.signal(signal.SIGALRM, watch)
    progress(f"{name}: the whole call")
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, 0.01)
    result = call(sim)
    full = time.perf_counter() - start
    progress(f"{name}: the whole call took {full:.3f} s")
    assert full >= SHORTEST_CALL, f"the call took only {full:.3f} s; enlarge the case to time an interrupt in it"
    assert len(seen) == 1, "the handler did not run"
    ran_at, query, mutation = seen[0]
    assert ran_at - start < full / 2, f"the handler ran only {ran_at - start:.3f} s into a {full:.3f} s call"
    assert mutation == ("refused", "Already borrowed")
    assert query == (("refused", "Already mutably borrowed") if exclusive else ("ok", sim.get_entangled_group(0)))
    done(sim, result)
    sim = result = None  # frees the finished state before the copies are built
    gc.collect()

    # 2. The same call on a fresh copy, with a handler that raises a tenth of the way in: the call ends early with
    # that exception, and the copy is as it was; two copies, each checked with another family of fixed outcomes.
    delay = full / 10
    for family in ("z", "x"):
        progress(f"{name}: interrupted after {delay:.3f} s, then checked ({family})")
        sim = build()
        raised = []

        def stop(signum, frame, raised=raised):
            raised.append(Stop("stop"))
            raise raised[-1]

        signal.signal(signal.SIGALRM, signal.default_int_handler if kind is KeyboardInterrupt else stop)
        start = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            call(sim)
        except kind as error:
            elapsed = time.perf_counter() - start
            progress(f"{name}: stopped {elapsed:.3f} s into the call")
            assert kind is KeyboardInterrupt or error is raised[0]
        else:
            raise AssertionError(f"the call finished ({time.perf_counter() - start:.3f} s) despite the signal")
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        # Judged against the uninterrupted call measured above, never an absolute time: the machine may be busy. After
        # the signal a call that changes the state also undoes what it did before it.
        assert elapsed - delay < (full / 4 if exclusive else full / 10), (
            f"the call stopped {elapsed:.3f} s after it started, {delay:.3f} s after the signal; it takes {full:.3f} s"
        )
        intact(sim, family)


@pytest.mark.scale
@pytest.mark.parametrize("name", INTERRUPTS)
def test_signal_stops_a_long_call_and_undoes_it(name):
    run_child("interrupt", name)


# -- running out of memory ----------------------------------------------------------------------------------------


def vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize in /proc/self/status")


FILL_SIZES = (1 << 20, 1 << 16, 1 << 12, 1 << 10)  # the free memory is taken up in blocks of these sizes


def squeezed(call, budget, probe):
    """Runs ``call`` with the free memory the process already maps taken up and the address space capped at
    ``budget`` bytes more. Returns (True, its result), or after a MemoryError (False, what ``probe`` returns, run
    with the cap still on once the filling is given back)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    filler, count = [None] * 100000, 0
    mapped = vm_size()
    resource.setrlimit(resource.RLIMIT_AS, (mapped, hard))
    try:
        for size in FILL_SIZES:
            while count < len(filler):
                try:
                    filler[count] = bytearray(size)
                except MemoryError:
                    break
                count += 1
        resource.setrlimit(resource.RLIMIT_AS, (mapped + budget, hard))  # the filling mapped nothing new
        try:
            return True, call()
        except MemoryError:
            pass
        filler = None
        return False, probe()
    finally:
        filler = None
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def growing_star():
    """A GHZ star grown leaf by leaf."""
    d = SQUEEZED_LEAVES
    sim = L(d + 1)
    sim.h(0)

    def expect(k, results):
        assert sim.get_entangled_group(0) == set(range(k + 1))
        check_ghz_preview(sim, [range(k + 1)], zeros=range(k + 1, d + 1))

    return sim, [lambda q=q: sim.cx(0, q) for q in range(1, d + 1)], 0, expect


def measured_hub(turn, axis):
    """A GHZ star whose hub, turned by ``turn``, is measured along ``axis``, which joins every pair of leaves in the
    graph; the result must show on the isolated hub."""
    d = SQUEEZED_LEAVES
    sim = L(d + 1)
    ghz(sim, 0, range(1, d + 1))
    for gate in turn:
        getattr(sim, gate)(0)

    def expect(k, results):
        if k == 0:
            assert sim.get_entangled_group(0) == set(range(d + 1))
            check_ghz_preview(sim, [range(d + 1)])
        else:
            assert sim.get_entangled_group(0) == {0} and sim.get_entangled_group(1) == set(range(1, d + 1))
            assert str(sim.peek_measure_set({0})[0]) == outcome_text(axis, int(results[0]))
            check_ghz_preview(sim, [range(1, d + 1)])

    return sim, [lambda: getattr(sim, "measure_" + axis)(0)], 0, expect


def twin_hubs():
    """Two GHZ stars, both hubs turned by h, joined by a cz between the hubs."""
    d = SQUEEZED_LEAVES // 2
    a, b = 0, d + 1
    sim = L(2 * d + 2)
    ghz(sim, a, range(1, d + 1))
    ghz(sim, b, range(d + 2, 2 * d + 2))
    sim.h(a)
    sim.h(b)

    def expect(k, results):
        if k == 0:
            assert sim.get_entangled_group(a) == set(range(d + 1))
            assert sim.get_entangled_group(b) == set(range(d + 1, 2 * d + 2))
        else:
            assert sim.get_entangled_group(a) == set(range(2 * d + 2))
        check_ghz_preview(sim, [range(1, d + 1), range(d + 2, 2 * d + 2)])

    return sim, [lambda: sim.cz(a, b)], a, expect


def previewed_star():
    """A preview of every qubit of a GHZ star: it may fail, but never changes the state."""
    d = SQUEEZED_LEAVES
    sim = L(d + 1)
    ghz(sim, 0, range(1, d + 1))
    qubits = set(range(d + 1))

    def expect(k, results):
        assert sim.get_entangled_group(0) == qubits
        check_ghz_preview(sim, [qubits])
        if k:
            assert set(results[0]) == qubits and len(set(z_results(results[0], qubits))) <= 1

    return sim, [lambda: sim.peek_measure_set(qubits)], 0, expect


# name: a state, the calls made on it under the cap, a qubit whose group is asked for right after a failure, and a
# check that the state is what the first k calls (with these results) make of it
SQUEEZES = {
    "growing a star": growing_star,
    "measure_y on the hub": lambda: measured_hub("", "y"),
    "measure_x on the hub": lambda: measured_hub("s", "x"),
    "cz between two hubs": twin_hubs,
    "peek at a star": previewed_star,
}


def memory_child(name):
    progress(f"{name}: building")
    sim, steps, hub, expect = SQUEEZES[name]()
    gc.collect()
    results, failures = [], 0
    for k, step in enumerate(steps):
        budget = 0
        for _ in range(80):
            succeeded, value = squeezed(step, budget, lambda: sim.get_entangled_group(hub))
            if succeeded:
                results.append(value)
                break
            failures += 1
            progress(f"{name}: call {k} failed with {budget} bytes free")
            # the failed call changed nothing: the group seen with the cap still on, and the physics
            expect(k, results)
            assert value == sim.get_entangled_group(hub)
            budget = budget * 5 // 4 + 1024
        else:
            raise AssertionError(f"call {k} failed even with {budget} bytes free")
    expect(len(steps), results)
    assert failures, "no call ran out of memory; the cap never bit"
    progress(f"{name}: {failures} calls ran out of memory")


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads VmSize from /proc")
@pytest.mark.parametrize("name", SQUEEZES)
def test_unallocatable_call_leaves_the_state_as_it_was(name):
    run_child("memory", name)


# -- probes: hostile uses, each in a child interpreter so that a crash or a hang is a failure, not the end --------


def capped(budget):
    """Caps the address space at ``budget`` bytes above what is mapped now."""
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + budget, resource.getrlimit(resource.RLIMIT_AS)[1]))


def varint_size(value):
    return max(1, (value.bit_length() + 6) // 7)


def buffer_changed_while_loading():
    """A signal handler spoils a vertex-operator byte of the buffer being loaded: each load sees intact bytes or
    fails its checks, and what loads is a valid state."""
    n = (1 << 20) + 4096  # long enough for the loader to check for signals inside it
    sim = L(n)
    for q in range(n):
        sim.h(q)
    for q in range(n - 1):
        sim.cz(q, q + 1)
    payload = bytearray(sim.__reduce__()[1][0])
    last_operator = 8 + varint_size(n) + n - 1  # header, qubit count, then one byte per qubit
    intact = payload[last_operator]

    def spoil(signum, frame):
        payload[last_operator] = 0xFF  # no vertex operator has this number

    signal.signal(signal.SIGALRM, spoil)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    loaded = 0
    try:
        for _ in range(8):
            payload[last_operator] = intact
            try:
                state = L._from_pickle(payload)
            except ValueError:
                continue
            loaded += 1
            edges, words = state.graph()
            assert len(edges) == n - 1 and set(words) <= {"", "H"}
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    progress(f"{loaded} of 8 loads got through")


def fork_inside_a_long_call():
    """A signal handler forks in the middle of a gate that rewrites ~10^7 edges (a cz between the hubs of two GHZ
    stars, both turned by h). In the child the call is still under way: the object stays held (nothing reads or
    changes the half-done state) until the call returns, and then it is the finished state."""
    build, call, _, done, _ = twin_case(4500)
    sim = build()
    seen = {}

    def fork(signum, frame):
        pid = os.fork()
        if pid:
            seen["child"] = pid
            return
        seen["in child"] = {
            "graph": attempt(sim.graph),
            "h": attempt(lambda: sim.h(0)),
            "pickle": attempt(lambda: pickle.dumps(sim)),
            "copy": attempt(sim.copy),
            "measure_z": attempt(lambda: sim.measure_z(1)),
        }

    signal.signal(signal.SIGALRM, fork)
    signal.setitimer(signal.ITIMER_REAL, 0.005)
    result = call(sim)
    if "in child" in seen:
        status = 1
        try:
            refused = {
                "graph": ("refused", "Already mutably borrowed"),
                "h": ("refused", "Already borrowed"),
                "pickle": ("refused", "Already mutably borrowed"),
                "copy": ("refused", "Already mutably borrowed"),
                "measure_z": ("refused", "Already borrowed"),
            }
            assert seen["in child"] == refused, seen["in child"]
            done(sim, result)
            status = 0
        finally:
            os._exit(status)
    assert "child" in seen, "the handler did not run inside the call"
    _, status = os.waitpid(seen["child"], 0)
    assert os.waitstatus_to_exitcode(status) == 0, "the forked child saw the object free or half-done"
    done(sim, result)


def endless_qubit_arguments():
    """Arguments that name qubits are checked as they are read: an iterable of 2**62 indices, or an endless one,
    fails at its first index outside the register, at once."""
    capped(1 << 30)
    for qubits in (range(10, 2**62), itertools.count(5)):
        try:
            L(10).stabilizers(qubits)
        except BaseException as error:
            assert type(error).__name__ == "PanicException", repr(error)
            assert str(error) == oob(10, 10)
        else:
            raise AssertionError("no error")


def unallocatable_sizes():
    """A register that could exist but does not fit gets MemoryError naming the bytes asked for; a stabilizers()
    list too large to build is refused before it is built."""
    capped(1 << 30)
    amount = 1 << 28
    try:
        L(amount)
    except MemoryError as error:
        record = len(str(error)) and int(str(error).split()[2]) // amount
        assert str(error) == f"cannot allocate {amount * record} bytes for the records of {amount} qubits", error
    else:
        raise AssertionError("a register of 2**28 qubits fitted in 1 GB")
    try:
        L(10**5).stabilizers()
    except MemoryError as error:
        assert str(error).startswith("stabilizers() of 100000 qubits would take"), error
    else:
        raise AssertionError("no MemoryError")


PROBES = {
    probe.__name__: probe
    for probe in (buffer_changed_while_loading, fork_inside_a_long_call, endless_qubit_arguments, unallocatable_sizes)
}


@pytest.mark.parametrize("name", PROBES)
def test_hostile_use_is_refused_cleanly(name):
    if name == "fork_inside_a_long_call" and not hasattr(os, "fork"):
        pytest.skip("needs os.fork")
    if name in ("endless_qubit_arguments", "unallocatable_sizes") and not os.path.exists("/proc/self/status"):
        pytest.skip("reads VmSize from /proc")
    run_child("probe", name)


if __name__ == "__main__":
    {"interrupt": interrupt_child, "memory": memory_child, "probe": lambda name: PROBES[name]()}[sys.argv[1]](
        sys.argv[2]
    )
