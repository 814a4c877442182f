"""Shared helpers of the lumora Python tests: argument stand-ins, expected texts, gate names, circuits and the small
states several test files build. The references the tests judge lumora by are in ``reference.py``."""

import contextlib
import gc
import os
import random
import signal
import subprocess
import sys
import threading
import time
import traceback
import warnings

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


def tableau_state(seed, n=160, count=3000, key=0):
    """A group the engine keeps as a stabilizer tableau: random h, s and cz in equal shares make it dense, and
    its cz then complement at vertices of high degree."""
    rng = random.Random(seed)
    ops = [
        ("cz", *rng.sample(range(n), 2)) if rng.randrange(3) == 0 else (rng.choice("hs"), rng.randrange(n))
        for _ in range(count)
    ]
    return built(L(n, seed=key), ops)


def sample_state(kind, seed):
    """States to pickle and to look at: those of up to 10 qubits are also rebuilt in the dense reference."""
    rng = random.Random(31)
    if kind == "empty":
        return L(0, seed=seed)
    if kind == "dense":
        return dense_state(22, key=seed)
    if kind == "tableau":
        return tableau_state(23, key=seed)
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


def fenced_blocks(path, language="python"):
    """(first line number, text) of every ```language block of the Markdown file ``path``."""
    blocks, current, start = [], None, 0
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if current is None:
            if line.strip() == "```" + language:
                current, start = [], number + 1
        elif line.strip() == "```":
            blocks.append((start, "\n".join(current) + "\n"))
            current = None
        else:
            current.append(line)
    assert current is None, f"{path.name}: the block opened before line {start} is never closed"
    return blocks


WAIT = 20  # seconds any blocked thread, forked child or child interpreter gets before it counts as hung


def in_forked_child(check):
    """Runs ``check`` in a forked child; returns its exit status and what it reported."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running is the point here
        pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            signal.signal(signal.SIGALRM, signal.SIG_DFL)
            signal.alarm(WAIT)  # a hang in the child ends it
            check()
            status = 0
        except BaseException:
            os.write(write_end, traceback.format_exc().encode())
        finally:
            os._exit(status)
    os.close(write_end)
    deadline = time.monotonic() + WAIT + 5
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            os.close(read_end)
            return "killed", "the child hung"
        time.sleep(0.01)
    with os.fdopen(read_end, "rb") as report:
        text = report.read().decode(errors="replace")
    if os.WIFSIGNALED(status):
        return "killed", f"the child died of signal {os.WTERMSIG(status)}\n{text}"
    return os.waitstatus_to_exitcode(status), text


# -- circuits: instruction names, random circuit texts, circuits split into single operations -------------------

ALIASES = {"H_XZ": "H", "SQRT_Z": "S", "SQRT_Z_DAG": "S_DAG", "CNOT": "CX", "ZCX": "CX", "ZCY": "CY", "ZCZ": "CZ"}
ALIASES |= {"SWAPCZ": "CZSWAP", "MZ": "M", "MRZ": "MR", "RZ": "R", "CORRELATED_ERROR": "E"}
CLIFFORD_1 = "I X Y Z H H_XY H_YZ H_NXY H_NXZ H_NYZ S S_DAG SQRT_X SQRT_X_DAG SQRT_Y SQRT_Y_DAG C_XYZ C_ZYX".split()
CLIFFORD_1 += "C_NXYZ C_XNYZ C_XYNZ C_NZYX C_ZNYX C_ZYNX".split()
CLIFFORD_2 = "CX CY CZ XCX XCY XCZ YCX YCY YCZ SWAP ISWAP ISWAP_DAG SQRT_XX SQRT_XX_DAG SQRT_YY SQRT_YY_DAG".split()
CLIFFORD_2 += "SQRT_ZZ SQRT_ZZ_DAG CXSWAP SWAPCX CZSWAP II".split()
MEASURE_1 = {"M": "Z", "MX": "X", "MY": "Y", "MR": "Z", "MRX": "X", "MRY": "Y"}  # name: the Pauli measured
RESETS = {"R": "Z", "RX": "X", "RY": "Y"}
PAIRED = {*CLIFFORD_2, "MXX", "MYY", "MZZ", "DEPOLARIZE2", "PAULI_CHANNEL_2", "II_ERROR"}  # targets taken two at a time
WHOLE = {"DETECTOR", "OBSERVABLE_INCLUDE", "QUBIT_COORDS", "SHIFT_COORDS", "TICK", "E", "ELSE_CORRELATED_ERROR"}
FEEDBACK = {"CX": 0, "CY": 0, "CZ": 0, "XCZ": 1, "YCZ": 1}  # the side a record may stand on (CZ: either)
DISJOINT = {"PAULI_CHANNEL_1": 3, "PAULI_CHANNEL_2": 15, "HERALDED_PAULI_CHANNEL_1": 4, "I_ERROR": 2, "II_ERROR": 2}
ERASING = {"DEPOLARIZE1": 0.75, "DEPOLARIZE2": 15 / 16, "HERALDED_ERASE": 1}  # at this p the qubits' state is erased
TAGS = ("t", "a b", "x]y", "back\\slash", "two\nlines", "cr\r", "q'''s")


def tag_text(tag):
    escaped = tag.replace("\\", "\\B").replace("]", "\\C").replace("\n", "\\n").replace("\r", "\\r")
    return f"[{escaped}]" if tag else ""


class CircuitText:
    """Seeded random circuit text over n qubits using every instruction in every written form (aliases, case, tags).

    ``certain``: every channel is deterministic (probabilities 0 or 1) or erases its qubits (ERASING), so that a
    reference can follow a run. ``lumora_only``: IF blocks too. Lookbacks never reach before the first measurement."""

    def __init__(self, seed, n, certain=True, lumora_only=True):
        self.rng, self.n, self.measured = random.Random(seed), n, 0
        self.certain, self.lumora_only = certain, lumora_only

    def p(self, cap=1.0, name=None):
        if self.certain:
            return self.rng.choice((0, ERASING[name] if name in ERASING else 1))
        return self.rng.choice((0, 0.125, 1e-3, cap / 3, cap))

    def name(self, canonical):
        name = self.rng.choice([canonical] + [alias for alias, c in ALIASES.items() if c == canonical])
        return self.rng.choice((name, name.lower())) + tag_text(self.rng.choice(("",) * 6 + TAGS))

    def args(self, *values):
        return f"({', '.join(map(repr, values))})" if values else ""

    def qubits(self, k, pairs=False, bang=False):
        qs = [q for _ in range(k) for q in self.rng.sample(range(self.n), 2 if pairs else 1)]
        return " ".join(("!" if bang and self.rng.random() < 0.3 else "") + str(q) for q in qs)

    def rec(self):
        return f"rec[-{self.rng.randint(1, min(self.measured, 6))}]"

    def product(self, joiner="*", bang=True):
        """A Hermitian product; qubits may repeat (with their Pauli) when ``joiner`` is *."""
        qs = [self.rng.randrange(self.n) for _ in range(self.rng.randint(1, 3))]
        qs = qs if joiner == "*" else sorted(set(qs))
        letter = {q: self.rng.choice("XYZ") for q in qs}
        return joiner.join(("!" if bang and self.rng.random() < 0.3 else "") + f"{letter[q]}{q}" for q in qs)

    def disjoint(self, k):
        if not self.certain:
            return [self.rng.random() / k for _ in range(k)]
        values = [0] * k
        if k and self.rng.random() < 0.8:
            values[self.rng.randrange(k)] = 1
        return values

    def instruction(self):
        """One instruction's text (a block, or an E chain) and how many measurements it appends."""
        r, rng = self.rng.random(), self.rng
        flip = () if rng.random() < 0.5 else (self.p(0.5),)
        if r < 0.22:
            return f"{self.name(rng.choice(CLIFFORD_1))} {self.qubits(rng.randint(1, 3))}", 0
        if r < 0.4:
            return f"{self.name(rng.choice(CLIFFORD_2))} {self.qubits(rng.randint(1, 2), pairs=True)}", 0
        if r < 0.45:
            return f"{self.name(rng.choice(('SPP', 'SPP_DAG')))} {self.product()} {self.product()}", 0
        if r < 0.53:
            k, name = rng.randint(1, 3), rng.choice(list(MEASURE_1))
            return f"{self.name(name)}{self.args(*flip)} {self.qubits(k, bang=True)}", k
        if r < 0.57:
            return f"{self.name(rng.choice(list(RESETS)))} {self.qubits(rng.randint(1, 2))}", 0
        if r < 0.61:
            return f"{self.name('MPP')}{self.args(*flip)} {self.product()} {self.product()}", 2
        if r < 0.64:
            name = rng.choice(("MXX", "MYY", "MZZ"))
            return f"{self.name(name)}{self.args(*flip)} {self.qubits(1, pairs=True, bang=True)}", 1
        if r < 0.66:
            return f"MPAD {rng.randint(0, 1)} {rng.randint(0, 1)}", 2
        if r < 0.7 and self.measured:
            gate = rng.choice(list(FEEDBACK))
            pair = [rng.choice((self.rec(), self.rec(), f"sweep[{rng.randint(0, 9)}]")), str(rng.randrange(self.n))]
            side = rng.randint(0, 1) if gate == "CZ" else FEEDBACK[gate]
            return f"{self.name(gate)} {' '.join(pair[::-1] if side else pair)}", 0
        if r < 0.76:
            name = rng.choice(("X_ERROR", "Y_ERROR", "Z_ERROR", "DEPOLARIZE1", "HERALDED_ERASE", "I_ERROR"))
            args = self.disjoint(rng.randint(0, 2)) if name == "I_ERROR" else [self.p(0.75, name)]
            return f"{self.name(name)}{self.args(*args)} {self.qubits(2)}", 2 * (name == "HERALDED_ERASE")
        if r < 0.8:
            name = rng.choice(
                ["PAULI_CHANNEL_1", "PAULI_CHANNEL_2", "HERALDED_PAULI_CHANNEL_1", "DEPOLARIZE2", "II_ERROR"]
            )
            k = rng.randint(0, 2) if name == "II_ERROR" else DISJOINT.get(name)
            args = [self.p(0.9375, name)] if name == "DEPOLARIZE2" else self.disjoint(k)
            heralds = 2 * (name == "HERALDED_PAULI_CHANNEL_1")
            return f"{self.name(name)}{self.args(*args)} {self.qubits(2, name in PAIRED)}", heralds
        if r < 0.84:
            chain = [f"{self.name('E')}({self.p()}) {self.product(' ', False)}"]
            chain += [f"ELSE_CORRELATED_ERROR({self.p()}) {self.product(' ', False)}" for _ in range(rng.randint(0, 2))]
            return "\n".join(chain), 0
        if r < 0.88 and self.measured:
            coords = self.args(*[rng.choice((0, 1.5, -2)) for _ in range(rng.randint(0, 2))])
            observable = f"OBSERVABLE_INCLUDE({rng.randint(0, 3)}) {self.rec()} X{rng.randrange(self.n)}"
            return rng.choice((f"DETECTOR{coords} {self.rec()} {self.rec()}", observable)), 0
        if r < 0.9:
            return rng.choice(("TICK", f"QUBIT_COORDS(1, 2) {rng.randrange(self.n)}", "SHIFT_COORDS(0, 1)")), 0
        if r < 0.95 and self.measured and self.lumora_only:
            conditions = " ".join(rng.choice(("", "!")) + self.rec() for _ in range(rng.randint(1, 2)))
            body = [f"{self.name(rng.choice(CLIFFORD_1))} {self.qubits(1)}", f"SPP {self.product()}"]
            body.insert(rng.randint(0, 2), f"{self.name(rng.choice(CLIFFORD_2))} {self.qubits(1, True)}")
            return f"IF {conditions} {{\n" + "\n".join(body[: rng.randint(1, 3)]) + "\n}", 0
        if r < 0.98:
            count, before = rng.randint(1, 3), self.measured
            body = self.lines(rng.randint(1, 5))
            return f"REPEAT {count} {{\n{body}\n}}", (self.measured - before) * (count - 1)
        return "", 0

    def lines(self, count):
        out = []
        for _ in range(count):
            text, measurements = self.instruction()
            self.measured += measurements
            out.append(text)
        return "\n".join(out)


def random_circuit_text(seed, n, count, **kinds):
    return CircuitText(seed, n, **kinds).lines(count)


def operations(circuit):
    """The circuit's items in running order, REPEAT unrolled, each instruction cut into single operations (one
    target, pair, product, or a whole annotation or E); an IF block stays whole, its body cut likewise."""
    out = []
    for item in circuit:
        if item.name == "REPEAT":
            out += operations(item.body) * item.repeat_count
        elif item.name == "IF":
            out.append(lumora.CircuitIfBlock(item.conditions, item.body, tag=item.tag))
        else:
            groups, ts = [], item.targets
            size = len(ts) if item.name in WHOLE else 2 if item.name in PAIRED else 1
            for i, t in enumerate(ts):
                if i and (ts[i - 1].is_combiner or t.is_combiner or len(groups[-1]) < size):
                    groups[-1].append(t)
                else:
                    groups.append([t])
            out += [lumora.CircuitInstruction(item.name, g, item.args, tag=item.tag) for g in groups or [[]]]
    return out


RECORDING = {*MEASURE_1, "MPP", "MXX", "MYY", "MZZ", "MPAD", "HERALDED_ERASE", "HERALDED_PAULI_CHANNEL_1"}


def prefix(items, count, record):
    """A circuit of the first ``count`` operations of ``items`` (from ``operations``) as a run that makes ``record``
    takes them: an IF block counts its head, and its body's operations when its conditions hold."""
    circuit, made = lumora.Circuit(), 0
    for item in items:
        if count <= 0:
            break
        if item.name == "IF":
            taken = all(record[made + t.value] != t.is_inverted_result_target for t in item.conditions)
            body = operations(item.body) if taken else []
            if body[: count - 1]:
                circuit.append(
                    lumora.CircuitIfBlock(item.conditions, lumora.Circuit("\n".join(map(str, body[: count - 1]))))
                )
            count -= 1 + len(body)
        else:
            circuit.append(item)
            count, made = count - 1, made + (item.name in RECORDING)
    return circuit
