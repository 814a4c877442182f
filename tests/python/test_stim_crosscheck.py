"""lumora against stim's tableau simulator, on random and structured circuits of up to a thousand qubits and more.

Both simulators run the same operations. stim (reference.StimFollower) follows lumora's random outcomes by
postselection: after each lumora measurement stim reports whether that outcome was certain (then the two must agree)
and is postselected onto lumora's outcome, so the two stay in the same state. At scale, runs of measurements on
distinct qubits are checked together: commuting measurements have a joint outcome, which stim accepts by
postselection exactly when it is possible. stim's canonical stabilizer generators each lie within one factor of the
state, so their supports join the qubits into the state's finest factors, which must be lumora's entangled groups.

Every circuit comes from a seeded generator; a failure names the seed, the step and the operation.
"""

import math
import random

import pytest

from lumora import Lumora

from helpers import AXES, ONE_QUBIT, TWO_QUBIT
from reference import NUMPY_MISSING, STIM_MISSING, StimFollower, dense_unitary

pytest.importorskip("stim", reason=STIM_MISSING)
np = pytest.importorskip("numpy", reason=NUMPY_MISSING)

SEQUENTIAL_HEAD = 32  # measurements followed one by one before the rest are checked in runs

# -- stim's gate conventions, on dense matrices ------------------------------------------------------------------


def stim_unitary(gate, qubits):
    ref = StimFollower(len(qubits))
    ref.gate(gate, *qubits)
    return (ref.sim.current_inverse_tableau() ** -1).to_unitary_matrix(endian="little")


def equal_up_to_phase(a, b):
    k = np.argmax(abs(b))
    phase = a.flat[k] / b.flat[k]
    return abs(abs(phase) - 1) < 1e-5 and np.allclose(a, phase * b, atol=1e-5)


@pytest.mark.parametrize("gate", ONE_QUBIT + TWO_QUBIT)
def test_stim_gate_conventions(gate):
    """stim's method for each of our gates (helpers.STIM_GATE) is, up to phase, the dense reference's matrix of the
    gate, with the same qubits in the same order: the two references agree on every gate."""
    if gate in ONE_QUBIT:
        assert equal_up_to_phase(stim_unitary(gate, [0]), dense_unitary(gate, [0], 1))
    else:
        ours = dense_unitary(gate, [0, 1], 2)
        assert equal_up_to_phase(stim_unitary(gate, [0, 1]), ours)
        assert equal_up_to_phase(stim_unitary(gate, [1, 0]), dense_unitary(gate, [1, 0], 2))
        others = [g for g in TWO_QUBIT if g != gate]  # and the nine gates are told apart
        assert not any(equal_up_to_phase(stim_unitary(g, [0, 1]), ours) for g in others)


# -- lumora and stim side by side --------------------------------------------------------------------------------


class Twin:
    """A lumora simulator and stim's tableau simulator (reference.StimFollower) taken through the same operations.

    Operations are tuples: (gate, *qubits); ("refused", gate, qubit) for a two-qubit gate with one qubit as
    control and target; ("measure", axis, qubit); ("run_of_measurements", ((axis, qubit), ...)) for
    measurements of distinct qubits checked together; ("peek", qubit); ("peek_set", qubits); ("groups",) to
    compare the entangled groups with the state's factors."""

    def __init__(self, n, tag):
        self.n, self.tag, self.step, self.op = n, tag, 0, None
        self.sim = Lumora(n)
        self.ref = StimFollower(n)
        self.gates = {g: (getattr(self.sim, g), self.ref.gate) for g in ONE_QUBIT + TWO_QUBIT}
        self.coins = []  # lumora's outcomes where stim had both outcomes possible
        self.read = {}  # each measured qubit's latest outcome

    def where(self):
        op = repr(self.op)
        return f"{self.tag}, step {self.step}, op {op if len(op) < 200 else op[:200] + ' ...'}"

    def run(self, ops):
        for self.step, self.op in enumerate(ops):
            kind = self.op[0]
            if kind in self.gates:
                ours, theirs = self.gates[kind]
                ours(*self.op[1:])
                theirs(*self.op)
            else:
                getattr(self, kind)(*self.op[1:])
        return self

    def refused(self, gate, qubit):
        try:
            getattr(self.sim, gate)(qubit, qubit)
        except ValueError:
            return
        pytest.fail(f"{self.where()}: the same qubit as control and target was accepted")

    def measure(self, axis, qubit):
        bit = int(getattr(self.sim, "measure_" + axis)(qubit))
        if self.ref.measure(axis, qubit, bit, self.where):
            self.coins.append(bit)
        self.read[qubit] = bit

    def run_of_measurements(self, plan):
        bits = [int(getattr(self.sim, "measure_" + axis)(q)) for axis, q in plan]
        self.ref.measure_run(plan, bits, self.where)
        self.read.update((q, bit) for (_, q), bit in zip(plan, bits))

    def peek(self, qubit):
        group = self.sim.get_entangled_group(qubit)
        outcomes = self.sim.peek_measure_set({qubit})
        assert list(outcomes) == [qubit], self.where()
        self.ref.preview([(AXES[int(outcomes[qubit].axis)], qubit)], [int(outcomes[qubit].result)], self.where)
        assert self.sim.get_entangled_group(qubit) == group, f"{self.where()}: the preview changed the state"

    def peek_set(self, qubits):
        outcomes = self.sim.peek_measure_set(set(qubits))
        assert sorted(outcomes) == sorted(qubits), self.where()
        # a preview of several qubits is one joint sample of their measurements
        plan = [(AXES[int(outcomes[q].axis)], q) for q in qubits]
        self.ref.preview(plan, [int(outcomes[q].result) for q in qubits], self.where)

    def groups(self):
        expected = self.ref.factors()
        # every qubit of a small factor, three of a large one: a group costs time in proportion to its edges
        probed = set()
        for factor in {min(f): sorted(f) for f in expected}.values():
            probed.update(factor if len(factor) <= 64 else (factor[0], factor[len(factor) // 2], factor[-1]))
        for q in sorted(probed):
            found = self.sim.get_entangled_group(q)
            assert found == expected[q], (
                f"{self.where()}: the group of {q} has {len(found)} qubits, its factor {len(expected[q])};"
                f" only in the group: {sorted(found - expected[q])[:9]}, only in the factor:"
                f" {sorted(expected[q] - found)[:9]}"
            )

    def finish(self, min_coins):
        """After the ops: the outcomes that stim left open look like fair coins (within six standard deviations)."""
        ones, count = sum(self.coins), len(self.coins)
        assert count >= min_coins, self.tag
        assert abs(ones - count / 2) <= 3 * math.sqrt(count), f"{self.tag}: {ones} of {count} open outcomes read -1"


def crosscheck(n, ops, tag, min_coins=0):
    twin = Twin(n, tag).run(ops)
    twin.finish(min_coins)
    return twin


# -- circuit generators ------------------------------------------------------------------------------------------


def word(rng, qubit, longest=3):
    return [(rng.choice(ONE_QUBIT), qubit) for _ in range(rng.randint(1, longest))]


def measurements(plan, batch, head=SEQUENTIAL_HEAD):
    """Measure (axis, qubit) in order: the first ``head`` one by one, the rest in runs of ``batch``."""
    head = head if batch > 1 else len(plan)
    ops = [("measure", axis, q) for axis, q in plan[:head]]
    return ops + [("run_of_measurements", tuple(plan[i : i + batch])) for i in range(head, len(plan), batch)]


def with_peeks(rng, ops, n, every):
    """``ops`` with a single-qubit preview after about one in ``every`` of them."""
    out = []
    for op in ops:
        out.append(op)
        if rng.randrange(every) == 0:
            out.append(("peek", rng.randrange(n)))
    return out


def random_circuit(rng, n, count, measure_share, checks=8):
    """All fifteen gates, measurements, previews and refused gates, drawn at random; entangled groups compared
    ``checks`` times on the way."""
    ops = []
    for step in range(1, count + 1):
        u = rng.random()
        if u < measure_share:
            ops.append(("measure", rng.choice(AXES), rng.randrange(n)))
        elif u < measure_share + 0.05:
            ops.append(("peek", rng.randrange(n)))
        elif u < measure_share + 0.07:
            ops.append(("peek_set", tuple(rng.sample(range(n), rng.randint(1, min(n, 6))))))
        elif u < measure_share + 0.08:
            ops.append(("refused", rng.choice(TWO_QUBIT), rng.randrange(n)))
        elif u < measure_share + 0.5 or n == 1:
            ops.append((rng.choice(ONE_QUBIT), rng.randrange(n)))
        else:
            ops.append((rng.choice(TWO_QUBIT), *rng.sample(range(n), 2)))
        if step % max(1, count // checks) == 0:
            ops.append(("groups",))
    return ops


def ghz(rng, size, copies, build, bases, dressed, batch):
    """``copies`` GHZ states of ``size`` qubits, built side by side (h on the first, then cx from it to each
    other qubit, or along a chain), then every qubit measured in random order and bases.

    Returns the ops and the measurement plan of each copy."""
    blocks = [list(range(c * size, (c + 1) * size)) for c in range(copies)]
    ops = [("h", block[0]) for block in blocks]
    for i in range(1, size):
        for block in blocks:
            ops.append(("cx", block[0] if build == "fanout" else block[i - 1], block[i]))
    if dressed:
        ops += [op for q in range(size * copies) for op in word(rng, q)]
    ops.append(("groups",))
    plans = []
    for block in blocks:
        axes = [rng.choice(bases) for _ in block]
        if bases == "xy" and axes.count("y") % 2:
            axes[0] = "x" if axes[0] == "y" else "y"  # an even number of y: the outcomes' parity is certain
        if bases == "xyz":
            for i in rng.sample(range(size), 2):
                axes[i] = "z"  # at least two z, which must agree
        order = block[:]
        rng.shuffle(order)
        plans.append(list(zip(axes, order)))
    plan = [m for i in range(size) for m in (p[i] for p in plans)]  # the copies' measurements interleaved
    middle = len(plan) // 2
    ops += measurements(plan[:middle], batch) + [("groups",)] + measurements(plan[middle:], batch, head=0)
    return with_peeks(rng, ops, size * copies, 16), plans


def cluster(rng, width, height, bases, dressed, batch):
    """A width x height cluster state (a line when height is 1): h on every qubit, cz along every edge in
    random order and orientation; then every qubit measured, row by row in X, or in random bases and order."""
    n = width * height
    edges = [(q, q + 1) for q in range(n) if q % width < width - 1]
    edges += [(q, q + width) for q in range(n - width)]
    rng.shuffle(edges)
    ops = [("h", q) for q in range(n)] + [("cz", *rng.sample(edge, 2)) for edge in edges]
    if dressed:
        ops += [op for q in rng.sample(range(n), n // 2) for op in word(rng, q)]
    ops.append(("groups",))
    if bases == "x":
        plan = [("x", q) for q in range(n)]
    else:
        plan = [(rng.choice(AXES), q) for q in rng.sample(range(n), n)]
    middle = len(plan) // 2
    ops += measurements(plan[:middle], batch) + [("groups",)] + measurements(plan[middle:], batch, head=0)
    return with_peeks(rng, ops, n, 16) + [("groups",)]


def hubs(rng, count, leaves, batch):
    """Stars: each hub fans out to its leaves by random two-qubit gates, the hub's local gates changing on
    the way; then gates between the hubs, between leaves of different stars and from leaves to other hubs;
    then the hubs measured first, the leaves after."""
    size = leaves + 1
    centres = [c * size for c in range(count)]
    leaf_sets = [list(range(c + 1, c + size)) for c in centres]
    ops = []
    for centre, its in zip(centres, leaf_sets):
        ops.append(("h", centre))
        for leaf in its:
            how = rng.random()
            if how < 0.4:
                ops.append(("cx", centre, leaf))
            elif how < 0.8:
                ops += [("h", leaf), ("cz", *rng.sample((centre, leaf), 2))]
            else:  # a gate that entangles or not, depending on the states it meets
                ops += word(rng, leaf) + [(rng.choice(TWO_QUBIT), *rng.sample((centre, leaf), 2))]
            if rng.randrange(8) == 0:
                ops += word(rng, centre)
    for _ in range(6 * count):
        ops.append((rng.choice(TWO_QUBIT), *rng.sample(centres, 2)))
        if rng.randrange(3) == 0:
            ops += word(rng, rng.choice(centres))
    everyone = [q for its in leaf_sets for q in its]
    for _ in range(leaves):
        a, b = rng.sample(range(count), 2)
        ops.append((rng.choice(TWO_QUBIT), rng.choice(leaf_sets[a]), rng.choice(leaf_sets[b])))
        ops.append((rng.choice(TWO_QUBIT), rng.choice(everyone), rng.choice(centres[:a] + centres[a + 1 :])))
    ops.append(("groups",))
    ops += [("measure", rng.choice(AXES), centre) for centre in rng.sample(centres, count)]
    plan = [(rng.choice(AXES), q) for q in rng.sample(everyone, len(everyone))]
    quarter = len(plan) // 4
    ops += measurements(plan[:quarter], batch) + [("groups",)] + measurements(plan[quarter:], batch, head=0)
    return with_peeks(rng, ops, count * size, 16) + [("groups",)]


def dense(rng, n, share=4):
    """A graph state made dense by n * n / share random cz, then random gates on it, then thinned out by
    measurements in random bases, each after a random gate between two qubits not yet measured."""
    ops = [("h", q) for q in range(n)] + [("cz", *rng.sample(range(n), 2)) for _ in range(n * n // share)]
    ops.append(("groups",))
    for _ in range(2 * n):
        ops.append(
            (rng.choice(TWO_QUBIT), *rng.sample(range(n), 2))
            if rng.random() < 0.5
            else (rng.choice(ONE_QUBIT), rng.randrange(n))
        )
    ops.append(("groups",))
    left = list(range(n))
    rng.shuffle(left)
    while left:
        if len(left) >= 2:
            ops.append((rng.choice(TWO_QUBIT), *rng.sample(left, 2)))
        ops.append(("measure", rng.choice(AXES), left.pop()))
        if len(left) % max(1, n // 4) == 0:
            ops.append(("groups",))
    # Past 1000 qubits the group is a tableau, whose graph form (which a peek's check of the group reads) is
    # an elimination after every change: fewer peeks keep the case short.
    return with_peeks(rng, ops, n, 8 if n <= 1000 else 64)


# -- the cases ---------------------------------------------------------------------------------------------------

scale = pytest.mark.scale


@pytest.mark.parametrize(
    "n,count,measure_share,seed",
    [
        (1, 400, 0.2, 1),
        (2, 1500, 0.15, 2),
        (3, 1500, 0.1, 3),
        (5, 2000, 0.1, 4),
        (8, 2000, 0.05, 5),
        (20, 2000, 0.1, 6),
        (60, 2000, 0.05, 7),
        (60, 2000, 0.2, 8),
        pytest.param(300, 12_000, 0.1, 9, marks=scale),
        pytest.param(300, 12_000, 0.02, 10, marks=scale),
        pytest.param(1000, 4_000, 0.05, 11, marks=scale),
    ],
)
def test_random_circuits(n, count, measure_share, seed):
    rng = random.Random(seed)
    ops = random_circuit(rng, n, count, measure_share, checks=8 if n <= 300 else 3)
    crosscheck(n, ops, f"random n={n} seed={seed}", min_coins=40)


@pytest.mark.parametrize("build", ["fanout", "chain"])
@pytest.mark.parametrize("bases,dressed", [("xy", False), ("xyz", False), ("xyz", True)])
@pytest.mark.parametrize(
    "size,copies,batch,seed",
    [(3, 12, 1, 21), (17, 4, 1, 22), (64, 2, 1, 23), pytest.param(1024, 1, 128, 24, marks=scale)],
)
def test_ghz(build, bases, dressed, size, copies, batch, seed):
    rng = random.Random(seed)
    ops, plans = ghz(rng, size, copies, build, bases, dressed, batch)
    twin = crosscheck(
        size * copies, ops, f"ghz {build} {bases} dressed={dressed} {size}x{copies} seed={seed}", min_coins=copies
    )
    # without local gates the outcomes show the GHZ state's correlations, stim aside
    for plan in plans if not dressed else []:
        bits = [twin.read[q] for _, q in plan]
        if bases == "xy":  # X on every qubit, with an even number 2k of them turned to Y, has eigenvalue (-1)^k
            assert sum(bits) % 2 == [a for a, _ in plan].count("y") // 2 % 2, (twin.tag, plan, bits)
        else:
            assert len({bit for (a, _), bit in zip(plan, bits) if a == "z"}) == 1, (twin.tag, plan, bits)


@pytest.mark.parametrize(
    "width,height,bases,dressed,batch,seed",
    [
        (30, 1, "x", False, 1, 31),
        (30, 1, "xyz", True, 1, 32),
        (6, 6, "x", False, 1, 33),
        (7, 5, "xyz", True, 1, 34),
        pytest.param(1200, 1, "x", False, 150, 35, marks=scale),
        pytest.param(1200, 1, "xyz", True, 150, 36, marks=scale),
        pytest.param(32, 32, "x", False, 32, 37, marks=scale),
        pytest.param(32, 32, "xyz", True, 32, 38, marks=scale),
    ],
)
def test_cluster(width, height, bases, dressed, batch, seed):
    rng = random.Random(seed)
    tag = f"cluster {width}x{height} {bases} dressed={dressed} seed={seed}"
    crosscheck(
        width * height,
        cluster(rng, width, height, bases, dressed, batch),
        tag,
        min_coins=min(width * height, SEQUENTIAL_HEAD) // 2,
    )


@pytest.mark.parametrize(
    "count,leaves,batch,seed",
    [
        (2, 6, 1, 41),
        (3, 12, 1, 42),
        (5, 8, 1, 43),
        pytest.param(4, 250, 125, 44, marks=scale),
        pytest.param(10, 100, 100, 45, marks=scale),
    ],
)
def test_hubs(count, leaves, batch, seed):
    rng = random.Random(seed)
    crosscheck(count * (leaves + 1), hubs(rng, count, leaves, batch), f"hubs {count}x{leaves} seed={seed}")


@pytest.mark.parametrize(
    "n,share,seed",
    [
        (12, 4, 51),
        (40, 4, 52),
        pytest.param(100, 4, 53, marks=scale),
        pytest.param(300, 4, 54, marks=scale),
        pytest.param(1000, 16, 55, marks=scale),
        pytest.param(2000, 32, 56, marks=scale),
    ],
)
def test_dense_then_thinned(n, share, seed):
    rng = random.Random(seed)
    crosscheck(n, dense(rng, n, share), f"dense n={n} seed={seed}", min_coins=n // 4)
