"""Shared helpers of the lumora Python tests: argument stand-ins, expected texts, gate names, circuits and the small
states several test files build. The references the tests judge lumora by are in ``reference.py``."""

import contextlib
import gc
import random
import subprocess
import sys
import threading

import pytest

import lumora

L = lumora.Lumora

# -- gate names ---------------------------------------------------------------------------------------------------

ONE_QUBIT = ("x", "y", "z", "h", "s", "sdag")
TWO_QUBIT = ("cz", "cx", "cy", "xcx", "xcy", "xcz", "ycx", "ycy", "ycz")
# stim's method for each of our gates; it takes the same qubits in the same order (test_stim_crosscheck.py checks)
STIM_GATE = {**{gate: gate for gate in ONE_QUBIT + TWO_QUBIT}, "sdag": "s_dag"}
AXES = "xyz"  # indexed by int(Outcome.axis)
SHOTS = 64  # a fair coin shows one face only with probability 2**-63


# -- arguments that run code while they are converted ------------------------------------------------------------


class Index:
    """Integer stand-in whose ``__index__`` first runs ``hook`` and keeps what it returned."""

    def __init__(self, value, hook=None):
        self.value, self.hook, self.seen = value, hook, None

    def __index__(self):
        self.seen = self.hook() if self.hook else None
        return self.value


class HookSet(set):
    """A qubit set whose iteration first runs ``hook`` and keeps what it returned."""

    def __init__(self, items, hook):
        super().__init__(items)
        self.hook, self.seen = hook, None

    def __iter__(self):
        self.seen = self.hook()
        return super().__iter__()


# -- what lumora reports ------------------------------------------------------------------------------------------


@contextlib.contextmanager
def panics(message):
    """Expect an engine failure: a PanicException carrying exactly ``message``."""
    # PanicException derives from BaseException alone and is not importable from lumora, so it is told by its name
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException" and info.value.args == (message,)


def oob(n, q):
    """The message of the engine failure for qubit ``q`` of a register of ``n``."""
    return f"index out of bounds: the len is {n} but the index is {q}"


def outcome_text(axis, bit):
    """How an Outcome prints: ``outcome_text("x", 1) == "(X, -1)"``."""
    return f"({axis.upper()}, {'-' if bit else '+'}1)"


def peek_text(sim, qubits):
    """A preview of ``qubits`` as {qubit: printed Outcome}."""
    return {q: str(o) for q, o in sim.peek_measure_set(set(qubits)).items()}


# -- circuits as lists of ops, and what running them reports ------------------------------------------------------
#
# An op is (gate, *qubits), ("measure", axis, qubit) or ("peek", qubits).


def random_ops(rng, n, count, measure_share=0.25, peek_share=0.04):
    ops = []
    for _ in range(count):
        u = rng.random()
        if u < measure_share:
            ops.append(("measure", rng.choice(AXES), rng.randrange(n)))
        elif u < measure_share + peek_share:
            ops.append(("peek", tuple(rng.sample(range(n), rng.randint(1, min(n, 5))))))
        elif u < 0.6 or n == 1:
            ops.append((rng.choice(ONE_QUBIT), rng.randrange(n)))
        else:
            ops.append((rng.choice(TWO_QUBIT), *rng.sample(range(n), 2)))
    return ops


def coin_ops(rng, n, count):
    """Measurements that are all fair coins: each qubit is turned out of the basis it was last measured in."""
    ops = []
    for _ in range(count):
        q = rng.randrange(n)
        ops += [("measure", "x", q), ("h", q)]  # measure_x leaves an X eigenstate, which h turns into a Z one
    return ops


def act(sim, op):
    """Runs one op; returns the outcome bit of a measurement, the sorted (qubit, axis, bit) of a preview."""
    if op[0] == "measure":
        return int(getattr(sim, "measure_" + op[1])(op[2]))
    if op[0] == "peek":
        return tuple(sorted((q, int(o.axis), int(o.result)) for q, o in sim.peek_measure_set(set(op[1])).items()))
    getattr(sim, op[0])(*op[1:])
    return None


def play(sim, ops):
    return [act(sim, op) for op in ops]


def built(sim, ops):
    play(sim, ops)
    return sim


# -- states several files build -----------------------------------------------------------------------------------


def graph_state(n, edges, key=None):
    return built(L(n, seed=key), [("h", q) for q in range(n)] + [("cz", a, b) for a, b in edges])


def cluster_line(n, key=None):
    return graph_state(n, [(q, q + 1) for q in range(n - 1)], key)


def dense_state(seed, n=200, czs=4000, key=0):
    """A group the engine keeps as a bit matrix: a graph state of density about 0.2 with local gates on it."""
    rng = random.Random(seed)
    ops = [("cz", *rng.sample(range(n), 2)) for _ in range(czs)]
    ops += [(rng.choice(("h", "s")), rng.randrange(n)) for _ in range(n // 2)]
    return built(L(n, seed=key), [("h", q) for q in range(n)] + ops)


def sample_state(kind, seed):
    """States to pickle and to look at: those of up to 10 qubits are also rebuilt in the dense reference."""
    rng = random.Random(31)
    if kind == "empty":
        return L(0, seed=seed)
    if kind == "dense":
        return dense_state(22, key=seed)
    if kind == "graph":  # edges added in random order
        return graph_state(20, [rng.sample(range(20), 2) for _ in range(60)], key=seed)
    n = {"product": 5, "ghz": 6, "random": 10}[kind]
    sim = L(n, seed=seed)
    if kind == "ghz":
        play(sim, [("h", 0)] + [("cx", q - 1, q) for q in range(1, n)])
    ops = random_ops(rng, n, 200) if kind == "random" else [(rng.choice(ONE_QUBIT), q) for q in range(n)] * 3
    play(sim, ops)
    return sim


# -- checks on what graph() returns -------------------------------------------------------------------------------


def check_graph_shape(n, edges, words):
    assert type(edges) is list and all(type(e) is tuple and len(e) == 2 for e in edges)
    assert all(0 <= a < b < n for a, b in edges) and edges == sorted(set(edges)), edges
    assert type(words) is list and len(words) == n
    assert all(type(w) is str and set(w) <= set("HSXYZ") for w in words), words


def components(n, edges):
    """For each qubit, the set of qubits of its connected component."""
    group = [{q} for q in range(n)]
    for a, b in edges:
        for q in (joined := group[a] | group[b]):
            group[q] = joined
    return group


# -- threads, references and child interpreters -------------------------------------------------------------------


def in_thread(fn, *args):
    """``fn(*args)`` run on another thread."""
    box = {}
    thread = threading.Thread(target=lambda: box.update(value=fn(*args)))
    thread.start()
    thread.join(60)
    assert "value" in box, "the thread failed or hung"
    return box["value"]


def refcounts(*objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def run_python(*args, timeout=60, cwd=None):
    """A child interpreter (this one's executable) run with ``args``; its output captured as text."""
    return subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, timeout=timeout, cwd=cwd, check=False
    )
