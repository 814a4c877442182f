"""The references lumora is judged by; they know nothing of its internals.

- ``Dense``: a small state-vector simulator written here (numpy).
- ``StimFollower``: stim's tableau simulator.

Both follow lumora's random outcomes: a measurement outcome lumora reports must be possible in the reference, which
then takes it (the dense one by projecting onto it; stim by postselection, after checking that an outcome it has
determined agrees), so that reference and lumora stay in the same state. A preview is one joint sample of its
measurements, possible on a trial copy of the reference, which itself stays. ``follow`` takes either reference
along with one op of ``helpers.random_ops`` and what lumora reported for it.

numpy and stim are optional: without them this module still imports, the markers ``needs_numpy`` and ``needs_stim``
skip the tests that use them, and a reference made without its package skips the test that makes it.
"""

import copy
import functools
import itertools
import math

import pytest

from helpers import (
    AXES,
    CLIFFORD_1,
    CLIFFORD_2,
    ERASING,
    FEEDBACK,
    MEASURE_1,
    RESETS,
    STIM_GATE,
    WHOLE,
    operations,
)

try:
    import numpy as np
except ImportError:  # an optional test dependency
    np = None
try:
    import stim
except ImportError:  # an optional test dependency
    stim = None

NUMPY_MISSING = "numpy is not installed (pip install numpy): the dense state-vector reference needs it"
STIM_MISSING = "stim is not installed (pip install stim): its tableau simulator is the reference"
needs_numpy = pytest.mark.skipif(np is None, reason=NUMPY_MISSING)
needs_stim = pytest.mark.skipif(stim is None, reason=STIM_MISSING)
POSSIBLE = 1e-9  # a smaller probability is an impossible outcome


def _need(module, reason):
    if module is None:
        pytest.skip(reason)


def _text(where):
    """``where`` names the step of a failure; a callable is only asked when something fails."""
    return where() if callable(where) else where


def graph_ops(n, edges, words):
    """The state graph() describes: |+> on every qubit, cz on every edge, then each word's gates left to right."""
    return (
        [("h", q) for q in range(n)]
        + [("cz", a, b) for a, b in edges]
        + [(letter.lower(), q) for q, word in enumerate(words) for letter in word]
    )


def follow(ref, op, got, where):
    """Takes the dense or stim reference along with lumora's op and what it reported (see ``helpers.act``)."""
    if op[0] == "measure":
        ref.measure(op[1], op[2], got, where)
    elif op[0] == "peek":
        ref.preview([(AXES[axis], q) for q, axis, _ in got], [bit for _, _, bit in got], where)
    else:
        ref.gate(*op)


# -- the dense reference ------------------------------------------------------------------------------------------

if np is not None:
    I2 = np.eye(2)
    PAULI = {"x": np.array([[0, 1], [1, 0]]), "y": np.array([[0, -1j], [1j, 0]]), "z": np.diag([1, -1])}
    MATRIX = {**PAULI, "h": (PAULI["x"] + PAULI["z"]) / math.sqrt(2), "s": np.diag([1, 1j]), "sdag": np.diag([1, -1j])}


class _Reference:
    """What both references share: building a state from a graph description."""

    @classmethod
    def from_graph(cls, n, edges, words):
        ref = cls(n)
        for op in graph_ops(n, edges, words):
            ref.gate(*op)
        return ref


class Dense(_Reference):
    """A state vector over n qubits as a tensor with one axis per qubit (axis q is qubit q)."""

    def __init__(self, n):
        _need(np, NUMPY_MISSING)
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

    def project(self, axis, q, bit):
        """Projects onto the outcome and returns its probability (leaving the state if it is zero)."""
        kept = self.on((I2 + (-1) ** bit * PAULI[axis]) / 2, q)
        p = np.vdot(kept, kept).real
        if p > POSSIBLE:
            self.psi = kept / math.sqrt(p)
        return p

    def measure(self, axis, q, bit, where):
        """lumora measured ``bit``: it must be possible here, and is projected onto."""
        assert self.project(axis, q, bit) > POSSIBLE, f"{_text(where)}: outcome {bit} is impossible"

    def preview(self, plan, bits, where):
        """lumora previewed ``bits`` for the measurements (axis, qubit) of ``plan``: possible jointly, on a copy."""
        trial = copy.deepcopy(self)
        assert all(trial.project(axis, q, bit) > POSSIBLE for (axis, q), bit in zip(plan, bits)), (
            f"{_text(where)}: previewed {list(zip(plan, bits))}, impossible"
        )

    def fixes(self, text):
        """Whether the signed Pauli string stabilizes the state."""
        out = self.psi * (1 if text[0] == "+" else -1)
        for q, letter in enumerate(text[1:]):
            if letter != "I":
                out = self.on(PAULI[letter.lower()], q, out)
        return np.allclose(out, self.psi, atol=1e-9)

    def same_as(self, other):
        return abs(abs(np.vdot(self.psi, other.psi)) - 1) < 1e-9


def dense_unitary(name, qubits, n):
    """The dense reference's matrix of a gate on ``qubits`` of n, with qubit q the bit q of a basis-state index
    (little-endian, as stim's ``to_unitary_matrix(endian="little")``)."""
    columns = []
    for index in range(2**n):
        ref = Dense(n)
        ref.psi[(0,) * n] = 0
        ref.psi[tuple(index >> q & 1 for q in range(n))] = 1
        ref.gate(name, *qubits)
        columns.append(ref.psi.transpose(range(n - 1, -1, -1)).reshape(-1))
    return np.stack(columns, axis=1)


# -- stabilizer lists ---------------------------------------------------------------------------------------------


def bit_rows(strings, n):
    """The rows of the generators over the columns X_0, Z_0, X_1, Z_1, ..."""
    rows = np.zeros((len(strings), 2 * n), bool)
    for r, text in enumerate(strings):
        letters = np.array(list(text[1:]))
        rows[r, 0::2], rows[r, 1::2] = np.isin(letters, ["X", "Y"]), np.isin(letters, ["Z", "Y"])
    return rows


def check_canonical(strings, n):
    """n well-formed commuting generators in reduced row-echelon form; the pivots make them independent."""
    _need(np, NUMPY_MISSING)
    assert len(strings) == n
    assert all(len(s) == n + 1 and s[0] in "+-" and set(s[1:]) <= set("IXYZ") for s in strings), strings
    rows = bit_rows(strings, n)
    assert rows.any(axis=1).all(), strings
    pivots = [int(np.argmax(row)) for row in rows]  # each row's first 1
    assert all(a < b for a, b in itertools.pairwise(pivots)), strings
    for r, c in enumerate(pivots):
        assert rows[:, c].sum() == 1, f"pivot column {c} of row {r} has other 1s: {strings}"
    xs, zs = rows[:, 0::2].astype(int), rows[:, 1::2].astype(int)
    assert not ((xs @ zs.T + zs @ xs.T) % 2).any(), f"generators anticommute: {strings}"


# -- stim ---------------------------------------------------------------------------------------------------------


def _first_impossible(sim, plan, bits):
    """Postselects ``sim`` onto each measurement (axis, qubit) of ``plan`` giving its bit in turn; names the first
    that cannot, after the ones before."""
    for (axis, q), bit in zip(plan, bits):
        known = getattr(sim, "peek_" + axis)(q)
        if known and bit != (known < 0):
            return f"{axis} on {q} giving {bit}"
        getattr(sim, "postselect_" + axis)(q, desired_value=bool(bit))
    return None


class StimFollower(_Reference):
    """stim's TableauSimulator (``.sim``), taken through lumora's gates and outcomes."""

    def __init__(self, n):
        _need(stim, STIM_MISSING)
        self.n, self.sim = n, stim.TableauSimulator()
        self.sim.set_num_qubits(n)

    def gate(self, name, *qubits):
        getattr(self.sim, STIM_GATE[name])(*qubits)

    def measure(self, axis, q, bit, where):
        """lumora measured ``bit``. An outcome stim has determined must agree; an open one is postselected onto.
        Returns whether the outcome was open."""
        known = getattr(self.sim, "peek_" + axis)(q)
        if known:
            assert bit == (known < 0), f"{_text(where)}: lumora measured {bit}, stim has {int(known < 0)} certain"
            return False
        getattr(self.sim, "postselect_" + axis)(q, desired_value=bool(bit))
        return True

    def measure_run(self, plan, bits, where):
        """lumora measured the distinct qubits of ``plan`` (axis, qubit) in turn, giving ``bits``. Commuting
        measurements have a joint outcome, which stim accepts by postselection exactly when it is possible."""
        # an outcome certain before the run stays certain through measurements of other qubits
        uncertain = {}
        for (axis, q), bit in zip(plan, bits):
            known = getattr(self.sim, "peek_" + axis)(q)
            if known:
                assert bit == (known < 0), f"{_text(where)}: lumora measured {bit} on {q}, stim has it certain"
            else:
                uncertain.setdefault((axis, bit), []).append(q)
        before = self.sim.copy()
        try:
            for (axis, bit), qubits in uncertain.items():
                getattr(self.sim, "postselect_" + axis)(qubits, desired_value=bool(bit))
        except ValueError:
            blame = _first_impossible(before, plan, bits)
            pytest.fail(f"{_text(where)}: {blame} is impossible after the ones before")

    def preview(self, plan, bits, where):
        """lumora previewed ``bits`` for the measurements (axis, qubit) of ``plan``: possible jointly, on a copy."""
        blame = _first_impossible(self.sim.copy(), plan, bits)
        assert blame is None, f"{_text(where)}: previewed {list(zip(plan, bits))}; {blame} is impossible"

    def expectation(self, text):
        """+1 or -1 when the signed Pauli string ``text`` (such as "+XIZ") or its negation stabilizes the state,
        else 0."""
        return self.sim.peek_observable_expectation(stim.PauliString(text))

    def stabilizers(self):
        """stim's canonical stabilizer generators, written as lumora's stabilizers() writes them."""
        return [str(p).replace("_", "I") for p in self.sim.canonical_stabilizers()]

    def factors(self):
        """For each qubit, the set of qubits of its factor in the finest tensor factorisation of the state.

        The canonical generators are the reduced row echelon form of the stabilizer group, and that of a product
        of states on disjoint qubits is the union of the factors' forms: each generator lies within one factor.
        Within a factor their supports connect: generators on two disjoint parts of it, as many as its qubits,
        would make the two parts factors themselves."""
        _need(np, NUMPY_MISSING)
        label = np.arange(self.n)
        for generator in self.sim.canonical_stabilizers():
            xs, zs = generator.to_numpy()
            joined = label[xs | zs]
            if joined.min() != joined.max():
                label[np.isin(label, joined)] = joined.min()
        factors = {}
        for q, root in enumerate(label.tolist()):
            factors.setdefault(root, set()).add(q)
        return [factors[root] for root in label.tolist()]


# -- circuits -----------------------------------------------------------------------------------------------------

FULL_NAME = {"CX": "ZCX", "CY": "ZCY", "CZ": "ZCZ"}  # a controlled Pauli as control basis, C, target Pauli
CERTAIN = {0, 1}
# a Pauli channel's Paulis in the order of its probabilities (PAULI_CHANNEL_2: worked out from the index)
PAULI_NOISE = {"X_ERROR": "X", "Y_ERROR": "Y", "Z_ERROR": "Z", "PAULI_CHANNEL_1": "XYZ", "PAULI_CHANNEL_2": ""}
PAULI_NOISE["HERALDED_PAULI_CHANNEL_1"] = "IXYZ"


def measured_pauli(op):
    """The Pauli product a measurement operation measures (inversions aside), as a stim.PauliString."""
    if op.name in MEASURE_1:
        return stim.PauliString(f"{MEASURE_1[op.name]}{op.targets[0].value}")
    product = stim.PauliString("")
    for t in op.targets:
        if not t.is_combiner:
            product *= stim.PauliString(f"{t.pauli_type if t.is_pauli_target else op.name[1]}{t.value}")
    return product


class CircuitWalk:
    """Takes a reference through a lumora circuit along lumora's record: the measured outcomes, heralds, feedback
    and IF conditions all come from the record. Channels must be certain (probabilities 0 or 1) or erasing (see
    helpers.ERASING), as ``helpers.CircuitText(certain=True)`` writes them. The reference provides ``unitary``
    (stim text of unitary gates), ``collapse`` (onto a Pauli product's outcome), ``reset`` and ``erase``."""

    def run(self, circuit, record, where):
        self.record, self.pos, self.where, self.fired = [int(b) for b in record], 0, where, True
        for self.op in operations(circuit):
            self.step(self.op)
        assert self.pos == len(self.record), f"{where}: {len(self.record)} recorded, {self.pos} made"
        return self

    def at(self):
        return f"{self.where}, at {str(self.op).strip()!r}"

    def take(self):
        self.pos += 1
        return self.record[self.pos - 1]

    def looked(self, target):
        return self.record[self.pos + target.value] if target.is_measurement_record_target else 0

    def paulis(self, letters):
        self.unitary("\n".join(f"{p} {q}" for q, p in letters.items() if p != "I") or "I 0")

    def step(self, op):
        if op.name == "IF":
            if all(self.looked(t) != t.is_inverted_result_target for t in op.conditions):
                for inner in operations(op.body):
                    self.step(inner)
            return
        name, ts, args = op.name, op.targets, op.args
        qubits = [t.value for t in ts if not t.is_combiner]
        if name in FEEDBACK and not all(t.is_qubit_target for t in ts):
            side = 0 if not ts[0].is_qubit_target else 1
            if self.looked(ts[side]):
                self.paulis({ts[1 - side].value: FULL_NAME.get(name, name)[2 - 2 * side]})
        elif name in CLIFFORD_1 or name in CLIFFORD_2 or name in ("SPP", "SPP_DAG"):
            self.unitary(str(op))
        elif name in MEASURE_1 or name in ("MPP", "MXX", "MYY", "MZZ"):
            assert set(args) <= CERTAIN
            bit = self.take() ^ int(args[0] if args else 0) ^ sum(t.is_inverted_result_target for t in ts) % 2
            self.collapse(measured_pauli(op), bit)
            if name.startswith("MR") and bit:
                self.paulis({qubits[0]: "Z" if name == "MRX" else "X"})
        elif name in RESETS:
            self.reset(RESETS[name], qubits[0])
        elif name == "MPAD":
            assert self.take() == qubits[0], f"{self.at()}: lumora recorded the wrong pad"
        elif name in ERASING:
            assert args[0] in (0, ERASING[name])
            if name == "HERALDED_ERASE":
                assert self.take() == (args[0] == 1), f"{self.at()}: wrong herald"
            if args[0]:
                self.erase(qubits)
        elif name in PAULI_NOISE:
            assert set(args) <= CERTAIN
            hot = args.index(1) if 1 in args else None
            if name == "HERALDED_PAULI_CHANNEL_1":
                assert self.take() == (hot is not None), f"{self.at()}: wrong herald"
            if hot is not None:  # which Pauli (PAULI_CHANNEL_2: which pair, IX to ZZ) is certain
                word = PAULI_NOISE[name] or "IXYZ"[(hot + 1) // 4] + "IXYZ"[(hot + 1) % 4]
                self.paulis(dict(zip(qubits, word if len(word) == 2 else word[hot] * len(qubits))))
        elif name in ("E", "ELSE_CORRELATED_ERROR"):
            assert set(args) <= CERTAIN
            fires = args[0] == 1 and (name == "E" or not self.fired)
            self.fired = fires or (self.fired and name != "E")
            if fires:
                self.paulis({t.value: t.pauli_type for t in ts})
        else:  # annotations, I_ERROR, II_ERROR: nothing
            assert name in WHOLE or name in ("I_ERROR", "II_ERROR"), name


class StimCircuitFollower(StimFollower, CircuitWalk):
    """stim's tableau simulator taken through a circuit along lumora's record. A reset or erasure of a qubit whose
    outcome stim has not determined swaps the qubit out into fresh ancillas (a Bell pair's half for an erasure), so
    stim holds the system's mixed state, purified, instead of a guess at lumora's hidden choice."""

    def __init__(self, n, sim=None):
        super().__init__(n)
        self.sim, self.fresh = sim or self.sim, n

    def unitary(self, text):
        self.sim.do(stim.Circuit(text))

    def collapse(self, pauli, bit):
        known = self.sim.peek_observable_expectation(pauli)
        if known:
            assert bit == (known < 0), f"{self.at()}: lumora measured {bit}, stim has {int(known < 0)} certain"
        else:
            self.sim.postselect_observable(pauli, desired_value=bool(bit))

    def swap_out(self, q, bell):
        a, self.fresh = self.fresh, self.fresh + 1 + bell
        self.unitary(f"H {a}\nCX {a} {a + 1}\nSWAP {q} {a}" if bell else f"SWAP {q} {a}")

    def reset(self, axis, q):
        if not self.sim.peek_observable_expectation(stim.PauliString(f"{axis}{q}")):
            self.swap_out(q, False)
        self.unitary(f"R{axis} {q}")

    def erase(self, qubits):
        for q in qubits:
            self.swap_out(q, True)

    def check_final(self, stabilizers):
        """lumora's final state: stim's when stim holds a pure state, else one in the support of its mixed state."""
        if self.fresh == self.n:
            assert stabilizers == self.stabilizers(), self.where
        for s in stabilizers:
            self.op = s
            self.collapse(stim.PauliString(s), 0)


@functools.lru_cache(maxsize=4096)
def stim_matrix(text, n):
    """The unitary of stim circuit text on n qubits (little-endian)."""
    return stim.Circuit(f"{text}\nI {n - 1}").to_tableau().to_unitary_matrix(endian="little")


class DenseCircuitFollower(CircuitWalk):
    """State vectors (rows, little-endian) over n qubits: every branch of lumora's hidden choices (the outcomes of
    resets, the Paulis of erasures) that agrees with its record so far. Gates act by stim's unitaries."""

    def __init__(self, n):
        _need(np, NUMPY_MISSING)
        self.n, self.psi = n, np.eye(1, 2**n, dtype=complex)

    def matrix(self, pauli):
        return (stim.PauliString(self.n) * pauli).to_unitary_matrix(endian="little")

    def unitary(self, text):
        self.psi = self.psi @ stim_matrix(text, self.n).T

    def project(self, pauli, bit):
        kept = (self.psi + (-1) ** bit * self.psi @ self.matrix(pauli).T) / 2
        norms = np.linalg.norm(kept, axis=1)
        return kept[norms > POSSIBLE] / norms[norms > POSSIBLE, None]

    def collapse(self, pauli, bit):
        self.psi = self.project(pauli, bit)
        assert len(self.psi), f"{self.at()}: outcome {bit} is impossible"

    def branch(self, rows):
        overlaps = abs(rows.conj() @ rows.T) > 1 - 1e-6
        self.psi = rows[[not overlaps[i, :i].any() for i in range(len(rows))]]

    def reset(self, axis, q):
        flip = self.matrix(stim.PauliString(f"{'Z' if axis == 'X' else 'X'}{q}"))
        pauli = stim.PauliString(f"{axis}{q}")
        self.branch(np.concatenate([self.project(pauli, 0), self.project(pauli, 1) @ flip.T]))

    def erase(self, qubits):
        for q in qubits:
            self.branch(np.concatenate([self.psi @ self.matrix(stim.PauliString(f"{p}{q}")).T for p in "IXYZ"]))

    def check_final(self, stabilizers):
        fixed = np.ones(len(self.psi), bool)
        for s in stabilizers:
            fixed &= np.isclose(
                np.einsum("bi,bi->b", self.psi.conj(), self.psi @ self.matrix(stim.PauliString(s)).T), 1
            )
        assert fixed.any(), f"{self.where}: lumora's final state is none of the {len(self.psi)} possible"
