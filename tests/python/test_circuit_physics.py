"""Whole circuits run by ``Lumora.do``, judged by references that know only the documented definitions.

- Gates: every unitary name and alias stim lists, on random states, against stim's tableau simulator; products with
  repeated qubits and inverted targets; collapsing operations followed by postselection (reference.py).
- Circuits stim generates: detection events all zero (stim's own converter), observables as stim's reference sample,
  and with a certain error inserted, exactly the events stim predicts; every outcome possible (stim follows).
- Random circuits over every instruction (reference.CircuitWalk follows lumora's record): a state vector holding
  every branch of lumora's hidden choices on small registers, and stim at hundreds of qubits.
- Noise at intermediate p: each channel's Pauli statistics, read off Bell pairs, against its definition (|z| <= 4).
- OpenQASM: every qelib1 gate at a grid of angles against qiskit's reading of the same program (Clifford or refused
  with its line and column), and random programs with measurements and ``if`` followed in qiskit's state vector.
- ``do`` itself: refused runs change nothing, seeded runs replay, and a run that fails at any allocation or
  interrupt check holds exactly the state after the operations its note counts.
"""

import collections
import itertools
import math
import pickle
import random
import re

import pytest

import lumora

from helpers import act, operations, prefix, random_circuit_text, random_ops
from reference import (
    NUMPY_MISSING,
    STIM_MISSING,
    DenseCircuitFollower,
    StimCircuitFollower,
    StimFollower,
    follow,
)

stim = pytest.importorskip("stim", reason=STIM_MISSING)
np = pytest.importorskip("numpy", reason=NUMPY_MISSING)
L, C = lumora.Lumora, lumora.Circuit

# -- every gate against its definition ----------------------------------------------------------------------------

UNITARY = sorted({a for name, g in stim.gate_data().items() if g.is_unitary for a in g.aliases} - {"SPP", "SPP_DAG"})
PRODUCTS = ["SPP X0*Y1*Z2", "SPP_DAG !Z0*X3 Y1", "SPP X0*X0*Y1", "SPP_DAG Y2*!X1*Y2*Z0 !Z3", "SPP !Y3*Z1"]
COLLAPSING = [
    *("M !0 0 !0", "MZ 1 !1 2", "MX !0 0", "MY 2 !2", "MR !1 1", "MRX 0 !0 0", "MRY !3 3", "MRZ 2 !2"),
    *("R 0 1\nM 0 !1", "RZ 0", "RX 0 3\nMX !0 3", "RY 2\nMY 2", "M(1) 0 !0", "MX(1) 1 1", "MPAD 1 0"),
    *("MPP X0*!Z1 !X0*Z1", "MPP Y0*X2*Y0 !Y2*Y2*Z1 Z1", "MPP(1) Z0*Z1 Z0*Z1", "MPP !X0*!X1 X0*X1"),
    *("MXX !0 1 0 !1", "MYY 2 3 !2 !3", "MZZ 1 3 !1 3", "MZZ(1) 0 2 0 2", "MXX(0) 1 2 2 1"),
]


def against_stim(text, seed, n=4):
    """Runs ``text`` on a random state (gates and measurements through the single-gate API, so that some outcomes
    are certain) and has stim follow: certain outcomes agree, open ones are possible, the final states are equal."""
    rng, sim, ref = random.Random(seed), L(n, seed=seed), StimFollower(n)
    for op in random_ops(rng, n, 30, peek_share=0):
        follow(ref, op, act(sim, op), "preparation")
    circuit = C(text)
    record = sim.do(circuit)
    StimCircuitFollower(n, ref.sim).run(circuit, record, f"{text!r}, seed {seed}").check_final(sim.stabilizers())


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("name", UNITARY)
def test_gate_against_its_definition(name, seed):
    two = stim.gate_data(name).is_two_qubit_gate
    against_stim(f"{name} {'0 1 2 3' if two else '0 2 3'}" if seed < 2 else f"{name} {'1 0 3 2' if two else '1'}", seed)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("text", PRODUCTS + COLLAPSING)
def test_products_and_collapsing_operations(text, seed):
    against_stim(text, seed)


# -- circuits stim generates --------------------------------------------------------------------------------------

CODES = [
    "repetition_code:memory",
    "surface_code:rotated_memory_x",
    "surface_code:rotated_memory_z",
    "surface_code:unrotated_memory_x",
    "surface_code:unrotated_memory_z",
    "color_code:memory_xyz",
]


def check_generated(task, distance, rounds, seeds, follow_in_stim):
    """Noiseless: no detection event and stim's observables. With one certain X or Z error inserted at a random
    point: exactly the detection events and observables stim predicts."""
    base = stim.Circuit.generated(task, distance=distance, rounds=rounds)
    records = set()
    for seed in seeds:
        rng = random.Random(seed)
        circuit = base
        if seed % 2:  # a certain error, at the top level (a round's REPEAT block stays whole)
            at, q = rng.randrange(1, len(base)), rng.randrange(base.num_qubits)
            circuit = base[:at] + stim.Circuit(f"{rng.choice('XZ')}_ERROR(1) {q}") + base[at:]
        expected = circuit.compile_detector_sampler().sample(1, append_observables=True)[0]
        ours = C(str(circuit))
        sim = L(circuit.num_qubits, seed=seed)
        record = sim.do(ours)
        events = circuit.compile_m2d_converter().convert(measurements=record[None], append_observables=True)[0]
        assert (events == expected).all(), f"{task} d={distance} r={rounds} seed {seed}: {np.flatnonzero(events)}"
        if follow_in_stim:
            follower = StimCircuitFollower(circuit.num_qubits).run(ours, record, f"{task}, seed {seed}")
            follower.check_final(sim.stabilizers())
        records.add(record.tobytes())
    if not task.startswith("repetition"):  # the first round of the other basis's stabilizers is random
        assert len(records) > 1, "every seed gave the same record"


@pytest.mark.parametrize("distance, rounds", [(3, 2), (3, 5), (5, 3), (7, 2), (9, 2)])
@pytest.mark.parametrize("task", CODES)
def test_generated_circuits(task, distance, rounds):
    check_generated(task, distance, rounds, range(4), follow_in_stim=distance <= 5)


@pytest.mark.scale
@pytest.mark.parametrize("distance", [25, 51])
@pytest.mark.parametrize("task", CODES)
def test_generated_circuits_at_scale(task, distance):
    check_generated(task, distance, 2, range(2), follow_in_stim=False)


# -- random circuits over every instruction ----------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(40))
def test_random_circuit_against_state_vectors(seed):
    n = 2 + seed % 5
    circuit = C(random_circuit_text(seed, n, 40))
    sim = L(n, seed=seed)
    record = sim.do(circuit)
    DenseCircuitFollower(n).run(circuit, record, f"seed {seed}").check_final(sim.stabilizers())


@pytest.mark.parametrize(
    "seed, n, count",
    [(1, 60, 600), (2, 150, 400)]
    + [pytest.param(3, n, k, marks=pytest.mark.scale) for n, k in ((300, 10**4), (1000, 5000))],
)
def test_random_circuit_against_stim(seed, n, count):
    circuit = C(random_circuit_text(seed, n, count))
    sim = L(n, seed=seed)
    record = sim.do(circuit)
    StimCircuitFollower(n).run(circuit, record, f"seed {seed}").check_final(sim.stabilizers())


# -- noise statistics -------------------------------------------------------------------------------------------

BELL = "R 0 1 2 3\nH 0 2\nCX 0 1 2 3\n"  # qubits 0 and 2, each half of a Bell pair; their Paulis are read off below
READ = "\nMPP X0*X1 Z0*Z1 X2*X3 Z2*Z3"
WORDS = [a + b for a in "IXYZ" for b in "IXYZ"]
BITS = {"I": (0, 0), "X": (0, 1), "Y": (1, 1), "Z": (1, 0)}  # (X parity, Z parity) of a Bell pair after the Pauli


def paulis(plain, heralded=None):
    """The record's distribution when qubits 0 and 2 suffer each word (such as "XI") of ``plain`` with its probability
    (the rest of the time none); ``heralded``: words that come with a herald bit 1, recorded before the Paulis."""
    out, rest = collections.Counter(), 1 - sum(plain.values()) - sum((heralded or {}).values())
    for herald, table in ((0, plain | {"II": rest}), (1, heralded or {})):
        for word, p in table.items():
            out[(herald,) * (heralded is not None) + BITS[word[0]] + BITS[word[1]]] += p
    return out


def one(p, letters):
    return {f"{letter}I": p for letter, p in zip(letters, p)}


DEP2 = dict.fromkeys(WORDS[1:], 0.3 / 15)
PC2 = dict(zip(WORDS[1:], [0.01 * (k % 5 + 1) for k in range(15)]))
CHANNELS = {
    "X_ERROR(0.2) 0": paulis(one([0.2], "X")),
    "Y_ERROR(0.35) 2": paulis({"IY": 0.35}),
    "Z_ERROR(0.1) 0 2": paulis({"ZZ": 0.01, "ZI": 0.09, "IZ": 0.09}),
    "DEPOLARIZE1(0.3) 0": paulis(one([0.1] * 3, "XYZ")),
    "PAULI_CHANNEL_1(0.05, 0.15, 0.3) 0": paulis(one([0.05, 0.15, 0.3], "XYZ")),
    "DEPOLARIZE2(0.3) 0 2": paulis(DEP2),
    "PAULI_CHANNEL_2(" + ", ".join(map(str, PC2.values())) + ") 0 2": paulis(PC2),
    "E(0.2) X0 Y2\nELSE_CORRELATED_ERROR(0.25) Z0\nELSE_CORRELATED_ERROR(0.5) Y0 Z2": paulis(
        {"XY": 0.2, "ZI": 0.8 * 0.25, "YZ": 0.8 * 0.75 * 0.5}
    ),
    "HERALDED_ERASE(0.4) 0": paulis({}, one([0.1] * 4, "IXYZ")),
    "HERALDED_PAULI_CHANNEL_1(0.1, 0.15, 0.05, 0.2) 0": paulis({}, one([0.1, 0.15, 0.05, 0.2], "IXYZ")),
}


def coins(ps, xor, tail=()):
    """The record of independent flips with probabilities ``ps`` of bits ``xor``, then the certain bits ``tail``."""
    out = collections.Counter()
    for flips in itertools.product((0, 1), repeat=len(ps)):
        out[tuple(f ^ x for f, x in zip(flips, xor)) + tail] = math.prod(p if f else 1 - p for p, f in zip(ps, flips))
    return out


FLIPS = {  # M(p) and the like flip the recorded bit, not the state (MR(p) resets all the same)
    "R 0 1\nX 1\nM(0.3) 0\nMR(0.1) 1\nM 1": coins([0.3, 0.1], (0, 1), (0,)),
    "RX 0\nRY 1\nMX(0.2) 0\nMPP(0.25) !Y1": coins([0.2, 0.25], (0, 1)),
    "R 0 1\nH 0\nCX 0 1\nMXX(0.15) 0 1\nMZZ(0.4) !0 1": coins([0.15, 0.4], (0, 1)),
}


@pytest.mark.parametrize(
    "body, expected",
    [pytest.param(BELL + k + READ, v, id=k.split("(")[0]) for k, v in CHANNELS.items()]
    + [pytest.param(k, v, id=f"flips {i}") for i, (k, v) in enumerate(FLIPS.items())],
)
def test_noise_statistics(body, expected, shots=4000):
    record = L(4, seed=7).do(C(f"REPEAT {shots} {{\n{body}\n}}")).reshape(shots, -1).astype(int)
    counts = collections.Counter(map(tuple, record.tolist()))
    impossible = {bits: k for bits, k in counts.items() if expected.get(bits, 0) == 0}
    assert not impossible, f"impossible records {impossible}"
    for bits, p in expected.items():
        if 0 < p < 1:
            z = (counts[bits] - shots * p) / math.sqrt(shots * p * (1 - p))
            assert abs(z) <= 4, f"{bits}: {counts[bits]} of {shots}, expected p={p:.4f} (z={z:.1f})"


# -- OpenQASM against qiskit -------------------------------------------------------------------------------------

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
FIXED = dict.fromkeys("id x y z h s sdg sx sxdg t tdg".split(), 1) | dict.fromkeys("cx CX cy cz swap ch csx".split(), 2)
FIXED |= dict.fromkeys("ccx cswap rccx".split(), 3)  # name: qubits
PARAMETRISED = {"p": 1, "u1": 1, "rx": 1, "ry": 1, "rz": 1, "u2": 2, "u3": 3, "u": 3, "U": 3}  # name: parameters
TWO_PARAMETRISED = {"cu1": 1, "cp": 1, "crz": 1, "crx": 1, "cry": 1, "rzz": 1, "rxx": 1, "cu3": 3, "cu": 4}
ANGLES = "0 pi/2 -pi/2 pi 3*pi/2 2*pi pi/2+pi -(pi) pi*0.5 2*pi/4 sqrt(4)*pi/4 ln(exp(pi)) -3*pi/2+0".split()


def qiskit(module="quantum_info"):
    return pytest.importorskip(f"qiskit.{module}", reason="qiskit is not installed (pip install qiskit): the reference")


def qiskit_circuit(text):
    return qiskit("qasm2").loads(text, custom_instructions=qiskit("qasm2").LEGACY_CUSTOM_INSTRUCTIONS)


def qiskit_follow(qc, record, where):
    """qiskit's state vector taken through ``qc`` along lumora's record (every reset must be certain)."""
    Statevector, flip = qiskit().Statevector, qiskit().Operator(np.array([[0, 1], [1, 0]]))
    psi, index = Statevector.from_int(0, 2**qc.num_qubits), np.arange(2**qc.num_qubits)
    bits, pos = [0] * qc.num_clbits, 0

    def project(q, bit):
        kept = psi.data * ((index >> q & 1) == bit)
        assert np.linalg.norm(kept) > 1e-6, f"{where}: outcome {bit} of qubit {q} is impossible"
        return Statevector(kept / np.linalg.norm(kept))

    def walk(data, qubit_of):
        nonlocal psi, pos
        for ins in data:
            qs, op = [qubit_of(q) for q in ins.qubits], ins.operation
            if op.name == "measure":
                psi, bits[qc.find_bit(ins.clbits[0]).index] = project(qs[0], int(record[pos])), int(record[pos])
                pos += 1
            elif op.name == "reset":
                one = psi.probabilities([qs[0]])[1]
                assert min(one, 1 - one) < 1e-9, f"{where}: the program resets an uncertain qubit"
                psi = project(qs[0], round(one))
                psi = psi.evolve(flip, [qs[0]]) if one > 0.5 else psi
            elif op.name == "if_else":
                register, value = op.condition
                if sum(bits[qc.find_bit(c).index] << i for i, c in enumerate(register)) == value:
                    body = op.blocks[0]
                    walk(body.data, lambda q, b=body, qs=qs: qs[b.find_bit(q).index])
            elif op.name != "barrier":
                psi = psi.evolve(op, qs)

    walk(qc.data, lambda q: qc.find_bit(q).index)
    assert pos == len(record), f"{where}: lumora recorded {len(record)} results, qiskit measured {pos}"
    return psi


def same_state(psi, stabilizers):
    return all(abs(psi.expectation_value(qiskit().Pauli(s[0] + s[:0:-1])) - 1) < 1e-6 for s in stabilizers)


def angle_grid(gate, count):
    """Every multiple of pi/4 for one parameter; for more, random tuples, most of multiples of pi/2."""
    quarter = ["0", "pi/4", "pi/2", "3*pi/4", "pi", "-pi/2", "2*pi", "5*pi/2"]
    rng = random.Random(gate)
    if count == 1:
        return [(a,) for a in quarter]
    return [tuple(rng.choice(quarter if k % 4 == 0 else quarter[::2]) for _ in range(count)) for k in range(24)]


@pytest.mark.parametrize("gate", [*FIXED, *PARAMETRISED, *TWO_PARAMETRISED])
def test_qasm_gate_against_qiskit(gate):
    """A gate on halves of Bell pairs: the state is the gate's Choi state, equal exactly when the gates are equal up
    to phase. qiskit decides which are Clifford; lumora must refuse the others at the gate's line and column."""
    arity = FIXED.get(gate) or 1 + (gate in TWO_PARAMETRISED)
    count = PARAMETRISED.get(gate) or TWO_PARAMETRISED.get(gate)
    for angles in angle_grid(gate, count) if count else [()]:
        line = f"{gate}({', '.join(angles)}) " if angles else f"{gate} "
        line += ", ".join(f"q[{k}]" for k in range(arity)) + ";"
        text = f"{HEADER}qreg q[{arity}];\nqreg r[{arity}];\nh q;\ncx q, r;\n{line}\n"
        try:
            qiskit().Clifford(qiskit_circuit(f"{HEADER}qreg q[{arity}];\n{line}\n"))
        except Exception:  # qiskit's word: not Clifford
            with pytest.raises(ValueError, match=r"^line 7, column 1: "):
                C.from_qasm(text)
            continue
        sim = L(2 * arity, seed=1)
        sim.do(C.from_qasm(text))
        assert same_state(qiskit_follow(qiskit_circuit(text), [], line), sim.stabilizers()), line


class QasmText:
    """A random program: registers, user gates, broadcasts, Clifford angles written as expressions, measurements,
    resets of just-measured qubits, barriers, and ``if`` on any gate."""

    def __init__(self, seed):
        self.rng = rng = random.Random(seed)
        self.sizes = {name: rng.randint(1, 3) for name in "abe"[: rng.randint(1, 3)]}
        self.qubits = [f"{r}[{k}]" for r, size in self.sizes.items() for k in range(size)]

    def gate(self):
        rng, qubits = self.rng, self.qubits
        q, r = rng.sample(qubits, min(2, len(qubits))), rng.random()
        if r < 0.3 or len(q) < 2:
            return f"{rng.choice('h s sdg x y z sx sxdg id k'.split())} {rng.choice(qubits + list(self.sizes))};"
        if r < 0.5:
            name = rng.choice(list(PARAMETRISED))
            return f"{name}({', '.join(rng.choice(ANGLES) for _ in range(PARAMETRISED[name]))}) {rng.choice(qubits)};"
        if r < 0.65:
            equal = [(a, b) for a in self.sizes for b in self.sizes if a != b and self.sizes[a] == self.sizes[b]]
            spread = [(q[0], reg) for reg in self.sizes if not q[0].startswith(reg)]
            pair = rng.choice([q, *equal, *spread])
            return f"{rng.choice('cx CX cy cz swap'.split())} {pair[0]}, {pair[1]};"
        if r < 0.75:
            return f"g({rng.choice(ANGLES)}) {q[0]}, {q[1]};"
        return f"{rng.choice(list(TWO_PARAMETRISED)[:-2])}(pi) {q[0]}, {q[1]};"

    def text(self):
        rng = self.rng
        lines = [HEADER + "".join(f"qreg {r}[{s}];\n" for r, s in self.sizes.items()) + "creg c[2];\ncreg d[3];"]
        lines += ["gate g(t) x, y { h x; rz(t) y; cx x, y; barrier x, y; sdg y; }", "gate k x { sx x; u2(0, pi) x; }"]
        for _ in range(rng.randint(10, 30)):
            r, (c, size), q = rng.random(), rng.choice([("c", 2), ("d", 3)]), rng.choice(self.qubits)
            if r < 0.2:
                lines.append(f"measure {q} -> {c}[{rng.randrange(size)}];" + f" reset {q};" * (rng.random() < 0.4))
            elif r < 0.3:
                lines.append(f"if({c}=={rng.randrange(2**size + 1)}) {self.gate()}")
            elif r < 0.35:
                lines.append(f"barrier {', '.join(rng.sample(self.qubits, min(2, len(self.qubits))))};")
            else:
                lines.append(self.gate())
        return "\n".join(lines) + "\n"


@pytest.mark.parametrize("seed", range(30))
def test_qasm_program_against_qiskit(seed):
    text = QasmText(seed).text()
    qc, circuit = qiskit_circuit(text), C.from_qasm(text)
    for shot in range(3):
        sim = L(qc.num_qubits, seed=shot)
        record = sim.do(circuit)
        assert same_state(qiskit_follow(qc, record, f"seed {seed}, shot {shot}"), sim.stabilizers()), text


# -- do(): refusals, replays, failures at every step -------------------------------------------------------------

REFUSED = {  # text: the error, and what its message says
    "H 5": (ValueError, None),  # more qubits than the simulator
    "CX rec[-1] 1": (ValueError, r"looks back 1 measurement, but only 0 come before"),
    "M 0\nCX rec[-2] 1": (ValueError, r"looks back 2 measurements, but only 1 comes before"),
    "M 0\nIF rec[-2] {\nX 1\n}": (ValueError, "looks back 2 measurements"),
    # the first iteration looks back too far
    "M 0\nREPEAT 3 {\nM 1\nDETECTOR rec[-3]\n}": (
        ValueError,
        r"^'DETECTOR rec\[-3\]' looks back 3 measurements, but only 2 come",
    ),
    "OBSERVABLE_INCLUDE(0) rec[-1]": (ValueError, None),
    "H 0\nM 1\nMPP X0*Z0": (ValueError, None),  # anti-Hermitian, refused before anything runs
    "not a circuit": (TypeError, None),
}


@pytest.mark.parametrize("text, refusal", REFUSED.items())
def test_refused_run_changes_nothing(text, refusal):
    error, message = refusal
    sim = L(4, seed=3)
    sim.do(C("H 0\nCX 0 1\nX_ERROR(0.5) 2"))
    before = pickle.dumps(sim)
    with pytest.raises(error, match=message):
        sim.do(text if error is TypeError else C(text))
    assert pickle.dumps(sim) == before


@pytest.mark.parametrize("seed", range(6))
def test_seeded_runs_replay(seed):
    first, second = (C(random_circuit_text(seed * 2 + k, 6, 30, certain=False)) for k in (0, 1))
    sim = L(6, seed=seed)
    twin = sim.copy()
    whole = sim.do(first + second)
    assert (twin.copy().do(first + second) == whole).all() and pickle.dumps(twin) != pickle.dumps(sim)
    parts = np.concatenate([twin.do(first), twin.do(second)])
    assert (parts == whole).all() and pickle.dumps(twin) == pickle.dumps(sim)
    assert (L(6, seed=seed).do(first + second) == whole).all()
    records = {L(6, seed=s).do(first + second).tobytes() for s in range(8)}
    assert len(records) > 1, "eight seeds gave one record"


NOTE = re.compile(r"^lumora: the circuit stopped after (\d+) completed operations")
FAULT_N = 20
# each kind twice around gates, so that a miscount shows in the state after the gates
KINDS = {"I_ERROR": "I_ERROR(0.1) 1 2", "II_ERROR": "II_ERROR 1 2 3 4", "DEPOLARIZE2": "DEPOLARIZE2(0.1) 0 1 2 3"}
KINDS |= {"MPP": "MPP X0*X1 !Z2", "SPP": "SPP X0*Y1 Z2", "MPAD": "MPAD 0 1", "HERALDED": "HERALDED_ERASE(0.5) 0 1"}
KINDS |= {"E": "E(0.5) X0 X1\nELSE_CORRELATED_ERROR(0.5) Z1", "REPEAT": "REPEAT 2 {\n    MR 0 1\n}"}
KINDS |= {"IF": "M 0 1\nIF rec[-1] !rec[-2] {\n    H 0 1\n    CX 2 3\n}", "IF 2": "M 0 1\nIF !rec[-1] {\n    Y 0 1\n}"}
KINDS |= {"annotations": "M 0\nDETECTOR rec[-1]\nTICK\nOBSERVABLE_INCLUDE(0) rec[-1]"}
FAULTED = {name: f"{kind}\nH 0 1 2 3\n{kind}\nCZ 0 1 2 3" for name, kind in KINDS.items()}
FAULTED |= {f"random {seed}": random_circuit_text(seed, FAULT_N, 25, certain=False) for seed in range(3)}


def dense_start(seed):
    """A seeded simulator holding a graph state of degree about 10, so that gates allocate as neighbourhoods grow."""
    rng, sim = random.Random(seed), L(FAULT_N, seed=seed)
    edges = [f"CZ {a} {b}" for a in range(FAULT_N) for b in range(a + 1, FAULT_N) if rng.random() < 0.5]
    sim.do(C(f"H {' '.join(map(str, range(FAULT_N)))}\n" + "\n".join(edges)))
    return sim


@pytest.mark.parametrize("fault", ["allocations", "polls"])
@pytest.mark.parametrize("name", FAULTED)
def test_failure_at_every_step(name, fault):
    """Each attempt fails at the next allocation (interrupt check); the simulator then equals a twin that ran just
    the operations the note counts (none, without a note). Once a run gets through, it equals a twin's whole run."""
    circuit = C(FAULTED[name])
    items, error = operations(circuit), MemoryError if fault == "allocations" else KeyboardInterrupt
    stops, whole = set(), [dense_start(seed).do(circuit) for seed in range(3)]
    for k in range(100000):
        sim = dense_start(k % 3)
        L._inject_faults(**{fault: k})
        try:
            record = sim.do(circuit)
        except error as failure:
            L._inject_faults()
            notes = [int(m.group(1)) for note in getattr(failure, "__notes__", []) if (m := NOTE.match(note))]
            assert len(notes) <= 1, failure.__notes__
            twin = dense_start(k % 3)
            twin.do(prefix(items, notes[0] if notes else 0, whole[k % 3]))
            assert pickle.dumps(sim) == pickle.dumps(twin), (
                f"attempt {k}: not the state after {notes[0]} operations" if notes else f"attempt {k}: no note"
            )
            stops.update(notes)
            continue
        finally:
            L._inject_faults()
        break
    twin = dense_start(k % 3)
    assert (twin.do(circuit) == record).all() and (record == whole[k % 3]).all()
    assert pickle.dumps(twin) == pickle.dumps(sim)
    assert len(stops) > 1, f"stopped only after {stops} operations: the {fault} hook is not in the run's path"
