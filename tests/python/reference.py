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
import itertools
import math

import pytest

from helpers import AXES, STIM_GATE

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
