"""Seeds, copies, pickling, and the views of a state: num_qubits, repr, stabilizers(), graph() and to_networkx().

States are judged by two references that know nothing of lumora's internals: a small dense state-vector simulator
below (numpy), which follows lumora's random outcomes by projecting onto them and checks each had a nonzero
probability, and stim's tableau simulator, which follows them by postselection. Seeded runs are compared with
other seeded runs of the same calls, never with recorded outcomes: which outcomes a seed gives is not fixed
between versions.
"""
import copy
import gc
import math
import os
import pickle
import random
import subprocess
import sys
import threading
import zlib

import numpy as np
import pytest
import stim

import lumora

try:
    import networkx
except ImportError:  # an optional extra
    networkx = None

L = lumora.Lumora
ONE_QUBIT = ("x", "y", "z", "h", "s", "sdag")
TWO_QUBIT = ("cz", "cx", "cy", "xcx", "xcy", "xcz", "ycx", "ycy", "ycz")
STIM_GATE = {**{gate: gate for gate in ONE_QUBIT + TWO_QUBIT}, "sdag": "s_dag"}
AXES = "xyz"  # indexed by int(Outcome.axis)
SHOTS = 64
SEED_TYPE_ERROR = "argument 'seed': '{}' object cannot be interpreted as an integer"
NEGATIVE_SEED = "seed must be None or a non-negative integer"
NOT_A_UNION = "qubits must be a union of entangled groups"

I2 = np.eye(2)
PAULI = {"x": np.array([[0, 1], [1, 0]]), "y": np.array([[0, -1j], [1j, 0]]), "z": np.diag([1, -1])}
MATRIX = {**PAULI, "h": (PAULI["x"] + PAULI["z"]) / math.sqrt(2), "s": np.diag([1, 1j]), "sdag": np.diag([1, -1j])}


# -- the dense reference -----------------------------------------------------------------------------------------

class Dense:
    """A state vector over n qubits as a tensor with one axis per qubit (axis q is qubit q)."""

    def __init__(self, n):
        self.n, self.psi = n, np.zeros((2,) * n, complex)
        self.psi[(0,) * n] = 1

    def on(self, matrix, q, psi=None):
        psi = self.psi if psi is None else psi
        return np.moveaxis(np.tensordot(matrix, psi, axes=([1], [q])), 0, q)

    def gate(self, name, *qubits):
        if len(qubits) == 1:
            self.psi = self.on(MATRIX[name], qubits[0])
        else:  # the target's Pauli on the -1 eigenspace of the control's basis (z unless named first)
            control, target = qubits
            minus = self.on((I2 - PAULI["z" if len(name) == 2 else name[0]]) / 2, control)
            self.psi = self.psi - minus + self.on(PAULI[name[-1]], target, minus)

    def measure(self, axis, q, bit):
        """Projects onto the outcome and returns its probability (leaving the state if it is zero)."""
        kept = self.on((I2 + (-1) ** bit * PAULI[axis]) / 2, q)
        p = np.vdot(kept, kept).real
        if p > 1e-9:
            self.psi = kept / math.sqrt(p)
        return p

    def fixes(self, text):
        """Whether the signed Pauli string stabilizes the state."""
        out = self.psi * (1 if text[0] == "+" else -1)
        for q, letter in enumerate(text[1:]):
            if letter != "I":
                out = self.on(PAULI[letter.lower()], q, out)
        return np.allclose(out, self.psi, atol=1e-9)

    def same_as(self, other):
        return abs(abs(np.vdot(self.psi, other.psi)) - 1) < 1e-9


def graph_ops(n, edges, words):
    """The state graph() describes: |+> on every qubit, cz on every edge, then each word's gates left to right."""
    return ([("h", q) for q in range(n)] + [("cz", a, b) for a, b in edges]
            + [(letter.lower(), q) for q, word in enumerate(words) for letter in word])


def dense_from_graph(n, edges, words):
    ref = Dense(n)
    for op in graph_ops(n, edges, words):
        ref.gate(*op)
    return ref


def stim_from_graph(n, edges, words):
    ref = stim.TableauSimulator()
    ref.set_num_qubits(n)
    for name, *qubits in graph_ops(n, edges, words):
        getattr(ref, name)(*qubits)
    return ref


# -- circuits and what they report ---------------------------------------------------------------------------------

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


def coin_ops(rng, n, count):
    """Measurements that are all fair coins: each qubit is turned out of the basis it was last measured in."""
    ops = []
    for _ in range(count):
        q = rng.randrange(n)
        ops += [("measure", "x", q), ("h", q)]  # measure_x leaves an X eigenstate, which h turns into a Z one
    return ops


def seeded_script(seed):
    return L(24, seed=seed), random_ops(random.Random(99), 24, 600)


def stim_takes(ref, axis, q, bit):
    """Whether stim's state allows the outcome; if so, it is postselected onto it."""
    known = getattr(ref, "peek_" + axis)(q)
    if known:
        return bit == (known < 0)
    getattr(ref, "postselect_" + axis)(q, desired_value=bool(bit))
    return True


def follow(ref, op, got, where):
    """Takes the dense or stim reference along with lumora's op and what it reported.

    A measurement's outcome must be possible there and is projected onto; a preview is one joint sample of its
    measurements, possible on a trial copy of the reference, which itself stays."""
    dense = isinstance(ref, Dense)
    takes = (lambda r, a, q, b: r.measure(a, q, b) > 1e-9) if dense else stim_takes
    if op[0] == "measure":
        assert takes(ref, op[1], op[2], got), f"{where}: outcome {got} is impossible"
    elif op[0] == "peek":
        trial = copy.deepcopy(ref) if dense else ref.copy()
        assert all(takes(trial, AXES[axis], q, bit) for q, axis, bit in got), f"{where}: previewed {got}, impossible"
    elif dense:
        ref.gate(*op)
    else:
        getattr(ref, STIM_GATE[op[0]])(*op[1:])


def built(sim, ops):
    play(sim, ops)
    return sim


def dense_state(seed, n=200, czs=4000, key=0):
    """A group the engine keeps as a bit matrix: a graph state of density about 0.2 with local gates on it."""
    rng = random.Random(seed)
    ops = [("cz", *rng.sample(range(n), 2)) for _ in range(czs)]
    ops += [(rng.choice(("h", "s")), rng.randrange(n)) for _ in range(n // 2)]
    return built(L(n, seed=key), [("h", q) for q in range(n)] + ops)


def graph_state(n, edges, key=None):
    return built(L(n, seed=key), [("h", q) for q in range(n)] + [("cz", a, b) for a, b in edges])


def cluster_line(n, key=None):
    return graph_state(n, [(q, q + 1) for q in range(n - 1)], key)


# -- checks on what the views return -------------------------------------------------------------------------------

def bit_rows(strings, n):
    """The rows of the generators over the columns X_0, Z_0, X_1, Z_1, ..."""
    rows = np.zeros((len(strings), 2 * n), bool)
    for r, text in enumerate(strings):
        letters = np.array(list(text[1:]))
        rows[r, 0::2], rows[r, 1::2] = np.isin(letters, ["X", "Y"]), np.isin(letters, ["Z", "Y"])
    return rows


def check_canonical(strings, n):
    """n well-formed commuting generators in reduced row-echelon form; the pivots make them independent."""
    assert len(strings) == n
    assert all(len(s) == n + 1 and s[0] in "+-" and set(s[1:]) <= set("IXYZ") for s in strings), strings
    rows = bit_rows(strings, n)
    assert rows.any(axis=1).all(), strings
    pivots = [int(np.argmax(row)) for row in rows]  # each row's first 1
    assert all(a < b for a, b in zip(pivots, pivots[1:])), strings
    for r, c in enumerate(pivots):
        assert rows[:, c].sum() == 1, f"pivot column {c} of row {r} has other 1s: {strings}"
    xs, zs = rows[:, 0::2].astype(int), rows[:, 1::2].astype(int)
    assert not ((xs @ zs.T + zs @ xs.T) % 2).any(), f"generators anticommute: {strings}"


def check_graph_shape(n, edges, words):
    assert type(edges) is list and all(type(e) is tuple and len(e) == 2 for e in edges)
    assert all(0 <= a < b < n for a, b in edges) and edges == sorted(set(edges)), edges
    assert type(words) is list and len(words) == n
    assert all(type(w) is str and set(w) <= set("HSXYZ") for w in words), words


def components(n, edges):
    group = [{q} for q in range(n)]
    for a, b in edges:
        for q in (joined := group[a] | group[b]):
            group[q] = joined
    return group


def stim_list(ref):
    return [str(p).replace("_", "I") for p in ref.canonical_stabilizers()]


def in_thread(fn, *args):
    box = {}
    thread = threading.Thread(target=lambda: box.update(value=fn(*args)))
    thread.start()
    thread.join(60)
    assert "value" in box, "the thread failed or hung"
    return box["value"]


def refcounts(*objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# -- seeds ---------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("seed", [0, 1, 2**64 - 1, 2**256 - 1, 2**256, 2**300 + 5],
                         ids=["0", "1", "2**64-1", "2**256-1", "2**256", "2**300+5"])
def test_same_seed_same_outcomes_on_any_thread(seed):
    sim, ops = seeded_script(seed)
    first = play(sim, ops)
    assert first == play(*seeded_script(seed))
    assert first == in_thread(lambda: play(*seeded_script(seed)))
    sim, _ = seeded_script(seed)  # made here, driven half here and half on another thread
    half = len(ops) // 2
    assert first == play(sim, ops[:half]) + in_thread(play, sim, ops[half:])
    # interleaved with a simulator of the same seed and an unseeded one: each seeded stream is the simulator's own
    a, b, unseeded = L(24, seed=seed), L(24, seed=seed), L(24)
    both = [(act(a, op), act(unseeded, op), act(b, op)) for op in ops]
    assert [x for x, _, _ in both] == first == [y for _, _, y in both]


@pytest.mark.parametrize("seed,same_as", [(True, 1), (False, 0), ("index", 7)])
def test_seed_takes_any_integer(seed, same_as, kit):
    ops = seeded_script(0)[1]
    assert play(L(24, seed=kit.Index(7) if seed == "index" else seed), ops) == play(L(24, seed=same_as), ops)


def test_different_seeds_differ():
    seeds = list(range(32)) + [2**64 - 1, 2**64, 2**255, 2**256 - 1, 2**256, 2**256 + 5, 2**300, 2**300 + 5, 2**512]
    ops = coin_ops(random.Random(5), 8, 80)
    runs = [tuple(play(L(8, seed=s), ops)) for s in seeds]
    assert len(set(runs)) == len(seeds)
    # unseeded simulators draw from the thread's generator, as before; explicitly None is the same
    assert len({tuple(play(L(8, seed=None) if i % 2 else L(8), ops)) for i in range(8)}) == 8


def test_seeded_outcomes_are_fair():
    """Over many seeds and along one stream: about half the coins read -1, and pairs of them are even too."""
    count = 4000
    firsts = [int(L(1, seed=s).measure_x(0)) for s in range(count)]
    sim = L(1, seed=2**200 + 3)
    along = [bit for bit in play(sim, coin_ops(random.Random(0), 1, count)) if bit is not None]
    for bits in (firsts, along):
        assert abs(sum(bits) - count / 2) <= 5 * math.sqrt(count) / 2
        pairs = [2 * a + b for a, b in zip(bits[0::2], bits[1::2])]
        chi2 = sum((pairs.count(k) - len(pairs) / 4) ** 2 / (len(pairs) / 4) for k in range(4))
        assert chi2 < 30, chi2  # three degrees of freedom: p < 1e-5


@pytest.mark.parametrize("seed", [-1, -2**300 - 1, "index", 1.0, 2.5, "5", [1], b"\1"], ids=lambda v: repr(v)[:9])
@pytest.mark.parametrize("where", ["constructor", "copy"])
def test_bad_seeds_are_refused(seed, where, kit):
    """Negative integers are out of range; other types are not integers at all."""
    seed = kit.Index(-3) if seed == "index" else seed
    negative = isinstance(seed, (int, kit.Index))
    error, message = ((ValueError, NEGATIVE_SEED) if negative
                      else (TypeError, SEED_TYPE_ERROR.format(type(seed).__name__)))
    original = L(3, seed=4)
    original.h(1)
    make = (lambda: L(3, seed=seed)) if where == "constructor" else (lambda: original.copy(seed=seed))
    before = refcounts(L, seed)
    for _ in range(200):
        with pytest.raises(error) as info:
            make()
        assert type(info.value) is error and str(info.value) == message
    assert refcounts(L, seed) == before  # no object, no reference to the seed left behind
    assert original.stabilizers() == ["+ZII", "+IXI", "+IIZ"]
    twin = L(3, seed=4)  # and the original's stream did not move
    twin.h(1)
    ops = coin_ops(random.Random(1), 3, 20)
    assert play(original, ops) == play(twin, ops)


def test_seed_is_keyword_only():
    with pytest.raises(TypeError):
        L(3, 5)
    with pytest.raises(TypeError):
        L(3).copy(5)


@pytest.mark.scale  # not under the sanitizer, whose allocator holds freed memory back
def test_failed_construction_and_load_keep_no_memory():
    """Refused seeds for a huge register, and loads refused after reading a large state, hold on to nothing."""
    start = rss()
    for _ in range(100):
        with pytest.raises(ValueError):
            L(2_000_000, seed=-1)
    gc.collect()
    assert rss() - start < 64 << 20
    big = cluster_line(100_000, key=1)
    load, (payload,) = big.__reduce__()
    del big
    gc.collect()
    start = rss()
    for k in range(200):
        bad = bytearray(payload)
        bad[len(bad) // 2 + k] ^= 0x10
        with pytest.raises(ValueError):
            load(bytes(bad))
        with pytest.raises(ValueError):
            load(payload[:-1 - k])
    gc.collect()
    assert rss() - start < 64 << 20


# -- copies --------------------------------------------------------------------------------------------------------

COPIERS = {"method": lambda s: s.copy(), "copy.copy": copy.copy, "copy.deepcopy": copy.deepcopy,
           "seed=None": lambda s: s.copy(seed=None), "other thread": lambda s: in_thread(s.copy),
           "pickle": lambda s: pickle.loads(pickle.dumps(s))}  # a round trip is a copy too


@pytest.mark.parametrize("how", list(COPIERS) + ["seed=7"])
def test_copies_are_independent(how):
    rng = random.Random(2)
    a = L(12, seed=3)
    play(a, random_ops(rng, 12, 300))
    before = a.stabilizers()
    b = a.copy(seed=7) if how == "seed=7" else COPIERS[how](a)
    assert type(b) is L and b is not a and b.num_qubits == 12 and b.stabilizers() == before
    play(b, random_ops(rng, 12, 100))
    assert a.stabilizers() == before
    changed = b.stabilizers()
    assert changed != before
    play(a, random_ops(rng, 12, 100))
    assert b.stabilizers() == changed and a.stabilizers() != before


@pytest.mark.parametrize("how", COPIERS)
def test_copy_replays_a_seeded_original(how):
    rng = random.Random(4)
    a = L(16, seed=2**300 + 5)
    play(a, random_ops(rng, 16, 200))
    b = COPIERS[how](a)
    ops = random_ops(rng, 16, 400)
    assert play(b, ops) == play(a, ops)
    # an unseeded original's copies draw from the thread's generator
    fresh = L(1)
    assert {int(COPIERS[how](fresh).measure_x(0)) for _ in range(SHOTS)} == {0, 1}
    assert fresh.measure_z(0) == lumora.MeasurementResult.PlusOne
    seeded = L(1, seed=9)
    outcomes = {int(COPIERS[how](seeded).measure_x(0)) for _ in range(SHOTS)}
    assert outcomes == {int(seeded.measure_x(0))}


def test_copy_with_a_seed_starts_that_seed_afresh():
    rng = random.Random(6)
    gates = random_ops(rng, 16, 300, measure_share=0, peek_share=0)
    a, b = L(16, seed=1), L(16)  # equal states by the same gates, with different randomness
    play(a, gates)
    play(b, gates)
    ops = random_ops(rng, 16, 400)
    reference = play(a.copy(seed=7), ops)
    assert play(b.copy(seed=7), ops) == reference
    assert play(a.copy().copy(seed=7), ops) == reference
    assert play(pickle.loads(pickle.dumps(b)).copy(seed=7), ops) == reference
    assert play(a.copy(seed=8), ops) != reference
    assert play(a.copy(seed=7 + 2**256), ops) != reference
    # the original's own stream is untouched by copies with seeds
    c = a.copy()
    a.copy(seed=7).measure_x(3)
    assert play(a, ops) == play(c, ops)


@pytest.mark.parametrize("how", COPIERS)
def test_copy_of_a_dense_group_is_exact(how):
    a = dense_state(21)
    b = COPIERS[how](a)
    assert b.stabilizers() == a.stabilizers()
    ops = random_ops(random.Random(7), 200, 600)
    assert play(b, ops) == play(a, ops)


def test_copy_of_a_long_cluster_is_exact():
    n = 100_000
    a = cluster_line(n, key=13)
    b, c = a.copy(), copy.deepcopy(a)
    rng = random.Random(8)
    order = rng.sample(range(n), n)
    ops = [("measure", rng.choice(AXES), q) for q in order]
    assert play(b, ops) == play(a, ops)
    # the third copy measured physically: Z on the even qubits fixes X on each odd one (K_q = Z X Z)
    zs = {q: int(c.measure_z(q)) for q in range(0, n, 2)}
    for q in range(1, n, 2):
        assert int(c.measure_x(q)) == (zs[q - 1] ^ zs.get(q + 1, 0)), q


# -- pickling ------------------------------------------------------------------------------------------------------

def sample_state(kind, seed):
    """States to pickle: those of up to 10 qubits are also rebuilt in the dense reference."""
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


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("seed", [None, 2**300 + 5], ids=["unseeded", "seeded"])
@pytest.mark.parametrize("kind", ["empty", "product", "ghz", "random", "graph", "dense"])
def test_pickle_round_trip(kind, seed, protocol):
    sim = sample_state(kind, seed)
    n = sim.num_qubits
    load, args = sim.__reduce__()
    assert load == L._from_pickle and type(args) is tuple and len(args) == 1 and type(args[0]) is bytes
    loaded = pickle.loads(pickle.dumps(sim, protocol))
    assert type(loaded) is L and loaded.num_qubits == n and repr(loaded) == repr(sim)
    assert loaded.stabilizers() == sim.stabilizers()
    if n <= 10:
        edges, words = loaded.graph()
        check_graph_shape(n, edges, words)
        assert dense_from_graph(n, edges, words).same_as(dense_from_graph(n, *sim.graph()))
    if n:  # the loaded simulator behaves as the state it claims, followed in stim; a seeded one as the original
        ref = stim_from_graph(n, *sim.graph())
        ops = random_ops(random.Random(protocol), n, 300)
        ours = play(loaded, ops)
        for step, (op, got) in enumerate(zip(ops, ours)):
            follow(ref, op, got, f"loaded {kind}, step {step} {op}")
        if seed is not None:
            assert play(sim, ops) == ours


def test_unseeded_loads_and_copies_draw_afresh():
    sim = L(48)
    ops = [("measure", "x", q) for q in range(48)]
    payload = pickle.dumps(sim)
    assert play(pickle.loads(payload), ops) != play(pickle.loads(payload), ops)
    assert play(sim.copy(), ops) != play(sim.copy(), ops)
    seeded = pickle.dumps(L(48, seed=0))
    assert play(pickle.loads(seeded), ops) == play(pickle.loads(seeded), ops)


@pytest.mark.parametrize("make", [lambda: cluster_line(100_000, key=1), lambda: dense_state(23),
                                  lambda: built(L(2000, seed=2), random_ops(random.Random(3), 2000, 20_000))])
def test_pickle_wire_size(make):
    sim = make()
    (_, (payload,)), edges = sim.__reduce__(), sim.graph()[0]
    assert len(payload) <= 20 * sim.num_qubits + 8 * len(edges), (len(payload), sim.num_qubits, len(edges))


def corruptions(payload, rng, truncations, flips):
    """Prefixes (every one when ``truncations`` is None), single and multi-byte flips, and appended bytes."""
    lengths = range(len(payload)) if truncations is None else rng.sample(range(len(payload)), truncations)
    yield from (payload[:k] for k in lengths)
    for i in range(flips):
        bad = bytearray(payload)
        for pos in rng.sample(range(len(bad)), 1 if i % 2 else rng.randint(2, 8)):
            bad[pos] ^= rng.randrange(1, 256)
        yield bytes(bad)
    yield from (payload + b"\0", payload + b"\xff" * 7, payload + payload)


@pytest.mark.parametrize("make,truncations,flips", [
    (lambda: sample_state("ghz", 5), None, 600), (lambda: sample_state("random", None), None, 600),
    (lambda: built(L(300, seed=4), random_ops(random.Random(4), 300, 3000)), 200, 400)])
def test_loader_refuses_damaged_payloads(make, truncations, flips):
    sim = make()
    load, (payload,) = sim.__reduce__()
    before = refcounts(L)
    count = 0
    for count, bad in enumerate(corruptions(payload, random.Random(len(payload)), truncations, flips), 1):
        with pytest.raises(ValueError) as info:
            load(bad)
        assert str(info.value).startswith("invalid Lumora pickle"), (count, str(info.value))
    assert count >= flips and refcounts(L) == before
    assert load(payload).stabilizers() == sim.stabilizers()  # the payload itself was fine


@pytest.mark.parametrize("n,czs,tries", [(12, 30, 1500), (40, 300, 600), (120, 3000, 150)])
def test_loader_checks_what_the_checksum_cannot(n, czs, tries):
    """Damage behind a valid checksum: the body is changed and sealed again with the CRC-32 of its bytes. The
    loader refuses such a payload as it does any other, or loads a state that is whole: its stabilizers are those
    of its graph (rebuilt in stim), its groups are the graph's components, and it pickles again."""
    rng = random.Random(n)
    for attempt in range(tries):
        sim = dense_state(attempt, n=n, czs=rng.randint(0, czs), key=rng.choice([None, attempt]))
        payload = sim.__reduce__()[1][0]
        if int.from_bytes(payload[-4:], "little") != zlib.crc32(payload[:-4]):
            pytest.skip("the payload does not end in the CRC-32 of its other bytes")
        body = bytearray(payload[:-4])
        for pos in rng.sample(range(len(body)), rng.randint(1, 4)):
            body[pos] = rng.choice([body[pos] ^ 1 << rng.randrange(8), rng.randrange(256), 0, 255])
        try:
            loaded = L._from_pickle(bytes(body) + zlib.crc32(body).to_bytes(4, "little"))
        except ValueError as error:
            assert str(error).startswith("invalid Lumora pickle"), str(error)
            continue
        m = loaded.num_qubits
        edges, words = loaded.graph()
        check_graph_shape(m, edges, words)
        assert loaded.stabilizers() == stim_list(stim_from_graph(m, edges, words)), attempt
        assert [loaded.get_entangled_group(q) for q in range(m)] == components(m, edges), attempt
        assert pickle.loads(pickle.dumps(loaded)).stabilizers() == loaded.stabilizers()


@pytest.mark.parametrize("arg", [None, "payload", 12, [1, 2], ("tuple",)])
def test_loader_wants_bytes(arg):
    with pytest.raises(TypeError):
        L._from_pickle(arg)


# -- num_qubits and repr -------------------------------------------------------------------------------------------

@pytest.mark.parametrize("n", [0, 1, 5, 1000, True, "index"])
@pytest.mark.parametrize("seed", [None, 3])
def test_num_qubits_and_repr(n, seed, kit):
    sim = L(kit.Index(7) if n == "index" else n, seed=seed)
    n = 7 if n == "index" else int(n)
    for view in (sim, sim.copy(), copy.deepcopy(sim), sim.copy(seed=1), pickle.loads(pickle.dumps(sim))):
        assert type(view.num_qubits) is int and view.num_qubits == n and repr(view) == f"Lumora(num_qubits={n})"
    with pytest.raises(AttributeError):
        sim.num_qubits = n + 1
    with pytest.raises(AttributeError):
        del sim.num_qubits
    assert sim.num_qubits == n and len(sim.stabilizers()) == n


# -- stabilizers() and graph() against the dense reference ---------------------------------------------------------

def small_walk(seed, steps=80):
    """Random ops on 1-8 qubits, lumora and the dense reference side by side, yielded after each op."""
    n = seed % 8 + 1
    rng = random.Random(seed)
    sim, ref = L(n, seed=seed), Dense(n)
    for step, op in enumerate(random_ops(rng, n, steps)):
        where = f"seed {seed} step {step} {op}"
        follow(ref, op, act(sim, op), where)
        yield where, sim, ref


@pytest.mark.parametrize("seed", range(32))
def test_stabilizers_and_graph_describe_the_state(seed):
    for where, sim, ref in small_walk(seed):
        strings = sim.stabilizers()
        check_canonical(strings, ref.n)
        assert all(ref.fixes(s) for s in strings), f"{where}: {[s for s in strings if not ref.fixes(s)]}"
        edges, words = sim.graph()
        check_graph_shape(ref.n, edges, words)
        assert dense_from_graph(ref.n, edges, words).same_as(ref), where
        # a graph state's factors are its connected components
        assert components(ref.n, edges) == [sim.get_entangled_group(q) for q in range(ref.n)], where


def ops_from(text):
    return [(name, *map(int, qubits)) for name, *qubits in (step.split() for step in text.split(";"))]


HS = "; ".join(f"h {q}" for q in range(4))
EQUAL_STATES = [
    (2, "h 0; cx 0 1", "h 0; h 1; cz 0 1; h 1"), (2, "h 0; cx 0 1", "h 1; cx 1 0"),
    (2, "h 0; cx 0 1", "h 0; cy 0 1; sdag 1"), (2, "h 0; cx 0 1", "h 0; cx 0 1; x 0; x 1; z 0; z 1"),
    (5, "h 0; cx 0 1; cx 1 2; cx 2 3; cx 3 4", "h 0; cx 0 1; cx 0 2; cx 0 3; cx 0 4"),
    (5, "h 0; cx 0 1; cx 1 2; cx 2 3; cx 3 4",
     "h 4; cx 4 3; cx 4 2; cx 2 1; cx 1 0; y 0; y 1; x 2; x 3; x 4; z 2; z 3"),
    (1, "h 0; s 0", "h 0; sdag 0; z 0"), (1, "h 0", "s 0; h 0; s 0; s 0; h 0; x 0; h 0; h 0; h 0"),
    (4, f"{HS}; cz 0 1; cz 1 2; cz 2 3", f"{HS}; cz 3 2; cz 1 0; cz 2 1; z 0; x 1; z 2; h 0; h 0"),
    (4, f"{HS}; cz 0 1; cz 1 2; cz 2 3", f"{HS}; cz 0 2; cz 0 1; cz 1 2; cz 0 2; cz 2 3; cz 1 3; cz 3 1"),
    (3, "h 0; cx 0 1; cx 0 2; h 1; h 2", "h 0; h 1; h 2; cz 0 1; cz 0 2"),
]


@pytest.mark.parametrize("n,first,second", EQUAL_STATES)
def test_equal_states_give_equal_lists(n, first, second):
    sims, refs = [], []
    for text in (first, second):
        sim, ref = L(n), Dense(n)
        for op in ops_from(text):
            act(sim, op)
            ref.gate(*op)
        sims.append(sim)
        refs.append(ref)
    assert refs[0].same_as(refs[1])  # the table itself is right
    assert sims[0].stabilizers() == sims[1].stabilizers()
    check_canonical(sims[0].stabilizers(), n)


def test_stabilizers_of_unions_of_groups(kit):
    rng = random.Random(17)
    sim = L(7, seed=1)
    play(sim, ops_from("h 0; cx 0 2; cx 2 5; h 1; cy 1 4; h 3; s 3; x 6"))
    play(sim, [(rng.choice(ONE_QUBIT), rng.randrange(7)) for _ in range(20)])
    groups = [{0, 2, 5}, {1, 4}, {3}, {6}]
    assert [sim.get_entangled_group(q) for q in range(7)] == [next(g for g in groups if q in g) for q in range(7)]
    full = sim.stabilizers()
    for mask in range(1, 128):
        chosen = [q for q in range(7) if mask >> q & 1]
        if all(g <= set(chosen) or not g & set(chosen) for g in groups):
            # the canonical form of a product is the union of its factors' forms
            expected = [s[0] + "".join(s[1 + q] for q in chosen) for s in full
                        if all(s[1 + q] == "I" for q in range(7) if q not in chosen)]
            assert len(expected) == len(chosen) and sim.stabilizers(qubits=set(chosen)) == expected, chosen
        else:
            with pytest.raises(ValueError) as info:
                sim.stabilizers(qubits=set(chosen))
            assert str(info.value) == NOT_A_UNION
    union = sim.stabilizers(qubits={0, 2, 5, 6})
    for qubits in (frozenset({6, 5, 2, 0}), [6, 0, 5, 2, 0, 6], (0, 2, 5, 6), (q for q in (5, 6, 0, 2))):
        assert sim.stabilizers(qubits=qubits) == union
    assert sim.stabilizers(qubits=range(7)) == full == sim.stabilizers(qubits=None)
    assert sim.stabilizers(qubits=set()) == []
    for bad in ({0, 2, 5, 7}, [2**64 - 1]):
        with kit.panics(kit.oob(7, max(bad))):
            sim.stabilizers(qubits=bad)
    assert sim.stabilizers() == full


def test_views_leave_the_state_and_stream_alone():
    """Between every two ops one simulator is looked at in every way, its twin not; both report the same."""
    rng = random.Random(12)
    a, b = L(10, seed=5), L(10, seed=5)
    views = [lambda s: s.stabilizers(), lambda s: s.stabilizers(qubits=s.get_entangled_group(0)), lambda s: s.graph(),
             lambda s: s.copy(), lambda s: copy.deepcopy(s), lambda s: s.copy(seed=3), lambda s: pickle.dumps(s),
             lambda s: s.__reduce__(), lambda s: repr(s), lambda s: s.num_qubits]
    if networkx:
        views.append(lambda s: s.to_networkx())
    failing = [lambda s: s.copy(seed=-1), lambda s: s.copy(seed=0.5), lambda s: s.stabilizers(qubits={10})]
    for step, op in enumerate(random_ops(rng, 10, 400)):
        assert act(a, op) == act(b, op), step
        for view in views:
            view(a)
        for view in failing:
            with pytest.raises(BaseException):
                view(a)
        if len(a.get_entangled_group(0)) > 1:
            with pytest.raises(ValueError):
                a.stabilizers(qubits={0})


# -- stabilizers() and graph() against stim ------------------------------------------------------------------------

@pytest.mark.parametrize("n,count,measure_share,seed", [
    (20, 800, 0.2, 61), (60, 2000, 0.1, 62), (120, 3000, 0.05, 63), (200, 3000, 0.1, 64)])
def test_stabilizers_and_graph_match_stim(n, count, measure_share, seed):
    rng = random.Random(seed)
    sim, ref = L(n, seed=seed), stim.TableauSimulator()
    ref.set_num_qubits(n)
    ops = random_ops(rng, n, count, measure_share)
    for checkpoint in (count // 2, count):
        for step in range(checkpoint - count // 2, checkpoint):
            follow(ref, ops[step], act(sim, ops[step]), f"seed {seed} step {step} {ops[step]}")
        compare_with_stim(sim, ref, n)


def test_dense_group_matches_stim():
    sim = dense_state(24)
    rng = random.Random(24)
    ref = stim_from_graph(200, *sim.graph())
    compare_with_stim(sim, ref, 200)
    for step, op in enumerate(random_ops(rng, 200, 400)):
        follow(ref, op, act(sim, op), f"dense step {step} {op}")
    compare_with_stim(sim, ref, 200)


def compare_with_stim(sim, ref, n):
    ours = sim.stabilizers()
    check_canonical(ours, n)
    for text in ours:  # each generator, sign included, lies in stim's stabilizer group
        assert ref.peek_observable_expectation(stim.PauliString(text)) == 1, text
    theirs = stim_list(ref)
    check_canonical(theirs, n)  # stim's canonical generators take the same form, so the lists must agree
    assert ours == theirs
    edges, words = sim.graph()
    check_graph_shape(n, edges, words)
    assert stim_list(stim_from_graph(n, edges, words)) == theirs
    for q in random.Random(n).sample(range(n), 3):  # a group's own generators, from stim's
        group = sorted(sim.get_entangled_group(q))
        within = [s[0] + "".join(s[1 + k] for k in group) for s in theirs
                  if all(s[1 + k] == "I" for k in set(range(n)) - set(group))]
        assert sim.stabilizers(qubits=group) == within


# -- to_networkx() -------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("make", [lambda: L(0), lambda: L(3), lambda: sample_state("ghz", 1),
                                  lambda: sample_state("random", 2), lambda: dense_state(25, n=40, czs=300)])
def test_to_networkx_matches_graph(make):
    if networkx is None:
        pytest.skip("networkx is not installed")
    sim = make()
    edges, words = sim.graph()
    g = sim.to_networkx()
    assert type(g) is networkx.Graph and list(g.nodes) == list(range(sim.num_qubits))
    assert {q: g.nodes[q] for q in g.nodes} == {q: {"local_clifford": w} for q, w in enumerate(words)}
    assert sorted(tuple(sorted(e)) for e in g.edges) == edges


def test_to_networkx_without_networkx():
    code = ("import sys; sys.modules['networkx'] = None\nimport lumora\nsim = lumora.Lumora(2)\n"
            "try:\n    sim.to_networkx()\nexcept ImportError as e:\n    print(type(e).__name__, e)\n"
            "print(sim.num_qubits)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["ImportError to_networkx() requires networkx: pip install networkx", "2"]
