"""The Circuit API and its two formats, judged by stim's reading of the same text where stim reads it.

Random circuits use every instruction in every written form (helpers.CircuitText): lumora's canonical text means to
stim what the original means, prints back to itself, and its counts and items are stim's. Arithmetic, the append
forms, copies, pickles and repr rebuild equal circuits. Every class of malformed input raises ValueError naming the
line and column of the offending token.
"""

import builtins
import copy
import pickle
import re

import pytest

import lumora

from helpers import ALIASES, ERASING, RECORDING, random_circuit_text
from reference import STIM_MISSING

stim = pytest.importorskip("stim", reason=STIM_MISSING)
C, G = lumora.Circuit, lumora.GateTarget

# -- random circuits against stim --------------------------------------------------------------------------------


def kinds(t):
    """A target's value and kind, read alike from lumora's GateTarget and stim's."""
    pauli = t.is_pauli_target if isinstance(t, G) else t.is_x_target or t.is_y_target or t.is_z_target
    flags = (t.is_qubit_target, t.is_measurement_record_target, t.is_sweep_bit_target, t.is_combiner, pauli)
    return 0 if t.is_combiner else t.value, flags, t.is_inverted_result_target, t.pauli_type


def same_item(ours, theirs, where):
    """A lumora item equals stim's: name, tag, arguments, targets, or count and body."""
    assert ours.name == theirs.name and ours.tag == theirs.tag, where
    if ours.name == "REPEAT":
        assert ours.repeat_count == theirs.repeat_count, where
        same_items(ours.body, theirs.body_copy(), where)
    else:
        assert ours.args == theirs.gate_args_copy(), where
        assert [kinds(t) for t in ours.targets] == [kinds(s) for s in theirs.targets_copy()], where


def same_items(ours, theirs, where):
    assert len(ours) == len(theirs), where
    for k, (a, b) in enumerate(zip(ours, theirs)):
        assert ours[k] == a and ours[k - len(ours)] == a, where  # indexing, negative too, agrees with iteration
        same_item(a, b, f"{where}, item {k}")


def counts(c):
    return c.num_qubits, c.num_measurements, c.num_detectors, c.num_observables


@pytest.mark.parametrize("seed", range(60))
def test_random_circuit_reads_as_stim_reads_it(seed):
    text = random_circuit_text(seed, 6, 30, certain=seed % 3 == 0, lumora_only=False)
    ours, theirs = C(text), stim.Circuit(text)
    assert stim.Circuit(str(ours)) == theirs and C(str(ours)) == ours and str(C(str(ours))) == str(ours)
    assert counts(ours) == counts(theirs)
    same_items(ours, theirs, f"seed {seed}")


@pytest.mark.parametrize("seed", range(30))
def test_copies_and_pickles_are_equal_and_independent(seed):
    c = C(random_circuit_text(seed, 5, 25))  # IF blocks too
    twins = [C(str(c)), c.copy(), copy.copy(c), copy.deepcopy(c), pickle.loads(pickle.dumps(c))]
    assert all(t == c and t is not c and not (t != c) for t in twins)
    twins[1].append("H", [0])
    twins[2] += twins[2]
    assert twins[1] != c and twins[2] != c and twins[0] == c and len(twins[2]) == 2 * len(c)


@pytest.mark.parametrize("seed", range(10))
def test_repr_evaluates_to_an_equal_object(seed):
    c = C(random_circuit_text(seed, 5, 25))
    for thing in [c, *c, *(t for item in c for t in getattr(item, "targets", getattr(item, "conditions", [])))]:
        assert eval(repr(thing), {"lumora": lumora}) == thing, repr(thing)


def test_generator_writes_every_instruction_and_alias():
    """The random texts above cover every name stim knows, every alias, and lumora's IF."""
    seen = set()
    for seed in range(60):
        seen |= {
            line.split()[0].split("[")[0].split("(")[0].upper()
            for line in random_circuit_text(seed, 5, 40).split("\n")
            if line.strip() and line != "}"
        }
    names = {a for g in stim.gate_data().values() for a in g.aliases}
    assert seen == names | {"IF"}, (names | {"IF"}) ^ seen
    assert set(ALIASES) <= names and RECORDING <= names and set(ERASING) <= names


# -- building circuits -------------------------------------------------------------------------------------------


def rebuilt(c, form):
    """``c`` rebuilt item by item through one append form."""
    out = C()
    for item in c:
        if form == "item":
            out.append(item)
        elif item.name == "REPEAT":
            out.append(lumora.CircuitRepeatBlock(item.repeat_count, rebuilt(item.body, form), tag=item.tag))
        elif item.name == "IF":
            out.append(lumora.CircuitIfBlock(item.conditions, rebuilt(item.body, form), tag=item.tag))
        elif form == "instruction":
            out.append(lumora.CircuitInstruction(item.name, item.targets, item.args, tag=item.tag))
        else:
            targets = {"targets": item.targets, "text": [str(t) for t in item.targets]}.get(form)
            targets = targets or [
                t.value if t.is_qubit_target and not t.is_inverted_result_target else str(t) for t in item.targets
            ]
            out.append(item.name.lower() if form == "text" else item.name, targets, item.args, tag=item.tag)
    return out


@pytest.mark.parametrize("form", ["item", "instruction", "targets", "text", "ints"])
@pytest.mark.parametrize("seed", range(8))
def test_append_forms_rebuild_the_circuit(seed, form):
    c = C(random_circuit_text(seed, 5, 30))
    assert rebuilt(c, form) == c


def test_append_fuses_like_the_parser():
    c = C()
    for name, targets, args in [("H", [0], []), ("H", [1], []), ("X_ERROR", [0], [0.1]), ("X_ERROR", [1], [0.1])]:
        c.append(name, targets, args)
    c.append("X_ERROR", [2], [0.2])
    c.append("TICK")
    c.append("TICK")
    assert c == C("H 0\nH 1\nX_ERROR(0.1) 0\nX_ERROR(0.1) 1\nX_ERROR(0.2) 2\nTICK\nTICK") and len(c) == 5


@pytest.mark.parametrize("seed", range(6))
def test_arithmetic(seed):
    a, b = C(random_circuit_text(seed, 4, 12)), C(random_circuit_text(seed + 100, 4, 12))
    assert a + b == C(str(a) + str(b))
    before, alias = a.copy(), a
    alias += b
    assert alias is a and a == before + b
    for n in (2, 3, 10**9):
        repeated = C(f"REPEAT {n} {{\n{before}}}\n")
        assert before * n == repeated and n * before == repeated and counts(repeated)[1] == n * before.num_measurements
    assert before * 0 == C() and before * 1 == before and before * 1 is not before
    alias = a
    alias *= 2
    assert alias is a and a == (before + b) * 2
    for bad in (-1, 10**18 + 1):
        with pytest.raises(ValueError):
            before * bad
    with pytest.raises(TypeError):
        before * 1.5


@pytest.mark.parametrize(
    "text",
    [
        "REPEAT 1000000000 {\nREPEAT 1000000000 {\nM 0 1\nDETECTOR rec[-1]\n}\nOBSERVABLE_INCLUDE(7) rec[-1]\n}\nH 9",
        "REPEAT 1000000000000000000 {\nREPEAT 9 {\nMPP X0*Z1 Y2\n}\n}",
        "REPEAT 3 {\nREPEAT 1000000000000000000 {\nDETECTOR\n}\n}\nQUBIT_COORDS 4000000",
        "REPEAT 4294967296 {\nREPEAT 4294967295 {\nMXX 0 1\n}\n}",
        "REPEAT 4294967295 {\nREPEAT 2147483647 {\nMXX 0 1\nHERALDED_ERASE(0.1) 2\n}\n}",
        "REPEAT 1000 {\n" * 6 + "MPAD 1 0\nOBSERVABLE_INCLUDE(4294967295) rec[-1]\n" + "}\n" * 6,
    ],
)
def test_counts_of_nested_repeats_match_stim(text):
    assert counts(C(text)) == counts(stim.Circuit(text))


def test_counts_that_overflow_raise():
    c = C("REPEAT 1000000000000000000 {\nREPEAT 1000000000000000000 {\nM 0\nDETECTOR\n}\n}")
    for count in ("num_measurements", "num_detectors"):
        with pytest.raises(ValueError):
            getattr(c, count)
    assert c.num_qubits == 1


def test_nesting_limit_is_the_same_for_text_and_objects():
    deep = C("REPEAT 2 {\n" * 1000 + "M 0\n" + "}\n" * 1000)
    assert C(str(deep)) == deep and pickle.loads(pickle.dumps(deep)) == deep
    for build in (
        lambda: deep * 2,
        lambda: lumora.CircuitRepeatBlock(2, deep),
        lambda: C("REPEAT 2 {\n" * 1000 + "M 0\nIF rec[-1] {\nH 0\n}\n" + "}\n" * 1000),
    ):
        with pytest.raises(ValueError, match="1000 levels"):
            build()


# -- targets -----------------------------------------------------------------------------------------------------

# a target's text: an instruction holding it, and its place there
TARGETS = {"3": ("H 3", 0), "!3": ("M !3", 0), "rec[-2]": ("DETECTOR rec[-2]", 0), "sweep[5]": ("CX sweep[5] 0", 0)}
TARGETS |= {"X2": ("MPP X2", 0), "!Y4": ("MPP Z0 !Y4", 1), "*": ("MPP X0*Z1", 1), "Z0": ("MPP !X1*Z0", 2)}


@pytest.mark.parametrize("text", TARGETS)
def test_gate_target_matches_stim(text):
    host, at = TARGETS[text]
    ours, theirs = C(host)[0].targets[at], stim.Circuit(host)[0].targets_copy()[at]
    assert G(text) == ours and G(ours) == ours and hash(G(text)) == hash(ours) and str(ours) == text
    assert kinds(G(text)) == kinds(theirs)
    assert (ours == theirs.value) == (theirs.is_qubit_target and not theirs.is_inverted_result_target)


@pytest.mark.parametrize(
    "bad",
    ["rec[0]", "rec[-0]", "!rec[-1]x", "4294967295", "sweep[4294967295]", "X", "!*", "", "3 4", "rec[-2147483649]"],
)
def test_bad_gate_target_raises(bad):
    with pytest.raises(ValueError):
        G(bad)
    assert G("4294967294").value == 4294967294 and G("rec[-2147483648]").value == -(2**31)  # the largest


# -- malformed text ----------------------------------------------------------------------------------------------

# the text with @ where it goes wrong (the error names that line and column), and a fragment of the message
MALFORMED = [
    ("H 0\n@CNT 0 1", "did you mean 'CNOT'"),
    ("MPP X0\n@mrx_x 0", "did you mean"),
    ("X_ERROR(@nan) 0", ""),
    ("H 0\nX_ERROR(@inf) 0", ""),
    ("X_ERROR(@-inf) 0", ""),
    ("X_ERROR(0@x1) 0", ""),
    ("X_ERROR(@1e400) 0", ""),
    ("X_ERROR(@1.5) 0", "probability"),
    ("Z_ERROR(@-0.1) 0", "probability"),
    ("DEPOLARIZE1(@0.76) 0", "0.75"),
    ("DEPOLARIZE2(@0.95) 0 1", ""),
    ("PAULI_CHANNEL_1@(0.5, 0.5, 0.1) 0", "sum"),
    ("HERALDED_PAULI_CHANNEL_1@(0.5, 0.5, 0.1, 0) 0", "sum"),
    ("X_ERROR@ 0", "argument"),
    ("H@(0.1) 0", "argument"),
    ("M(@) 0", ""),
    ("H @4294967295", ""),
    ("M 0\nCX rec[-@0] 1", ""),
    ("DETECTOR rec[-@2147483649]", ""),
    ("CX sweep[@4294967295] 0", ""),
    ("OBSERVABLE_INCLUDE(@4294967296) rec[-1]", ""),
    ("OBSERVABLE_INCLUDE(@0.5) rec[-1]", ""),
    ("M @rec[-1]", ""),
    ("H @!0", ""),
    ("R @!0", ""),
    ("DETECTOR @5", ""),
    ("MPAD @2", ""),
    ("CX 0 1 @2", "pairs"),
    ("CZ 3 @3", "equal"),
    ("CX 0 @rec[-1]", ""),
    ("MPP X0*@*Y1", "combiner"),
    ("MPP @*X0", "combiner"),
    ("E(0.1) X0@*X1", ""),
    ("E(0.1) @!X0", ""),
    ("H 0 @junk", ""),
    ("H 0\nH 1 # fine\nH 2 3@x", ""),
    ("REPEAT @0 {\nH 0\n}", ""),
    ("REPEAT @1000000000000000001 {\nH 0\n}", ""),
    ("REPEAT 2 {\nH 0\n}\n@}", "'}'"),
    ("H 0\nREPEAT 2 @{\nH 0", "'}'"),
    ("H 0\n@{", ""),
    ("REPEAT 2 {\nH 0\n} @H 1", ""),
    ("H 0@\rH 1", "carriage return"),
    ("H 0@\r", "carriage return"),
    ("M 0\nIF @{\nX 0\n}", "condition"),
    ("M 0\nIF rec[-1] {\n@M 0\n}", "IF"),
    ("M 0\nIF rec[-1] {\n@IF rec[-1] {\nX 0\n}\n}", "IF"),
    ("M 0\nIF rec[-1] {\nCX @rec[-1] 0\n}", "IF"),
    ("M 0\nIF rec[-1] {\n@REPEAT 2 {\nX 0\n}\n}", "IF"),
    ("M 0\nIF rec[-1] {\n@X_ERROR(0.1) 0\n}", "IF"),
    ("M 0\nIF @3 {\nX 0\n}", ""),
    ("REPEAT 2 {\n" * 1000 + "@REPEAT 2 {\nH 0\n" + "}\n" * 1001, "1000"),
    ("REPEAT 2 {\n" * 1000 + "@" + "REPEAT 2 {\n" * 99000 + "H 0\n" + "}\n" * 100000, "1000"),
]


def refused_at(parse, marked, fragment):
    """``parse`` refuses the text with ValueError naming the line and column of the @ (then removed)."""
    at = marked.index("@")
    text, line, column = marked.replace("@", "", 1), marked.count("\n", 0, at) + 1, at - marked.rfind("\n", 0, at)
    with pytest.raises(ValueError, match=rf"^line {line}, column {column}: ") as info:
        parse(text)
    assert fragment in str(info.value)


@pytest.mark.parametrize("marked, fragment", MALFORMED, ids=lambda x: repr(x)[:40])
def test_malformed_text_is_refused_where_it_goes_wrong(marked, fragment):
    refused_at(C, marked, fragment)


def test_malformed_objects_are_refused():
    bad = [
        lambda: C().append("CNT", [0, 1]),
        lambda: C().append("H", ["rec[-1]"]),
        lambda: C().append("X_ERROR", [0], [float("nan")]),
        lambda: C().append("X_ERROR", [0], [2]),
        lambda: C().append("CX", [0]),
        lambda: lumora.CircuitInstruction("H", [0], [1]),
        lambda: lumora.CircuitRepeatBlock(0, C("H 0")),
        lambda: lumora.CircuitRepeatBlock(10**18 + 1, C("H 0")),
        lambda: lumora.CircuitIfBlock([], C("H 0")),
        lambda: lumora.CircuitIfBlock(["rec[-1]"], C("M 0")),
        lambda: lumora.CircuitIfBlock([3], C("H 0")),
    ]
    for make in bad:
        with pytest.raises(ValueError):
            make()
    with pytest.raises(ValueError, match="did you mean 'CNOT'"):
        bad[0]()


# -- files and OpenQASM ------------------------------------------------------------------------------------------

QASM = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[1];\nh q[0];\ncx q[0], q[1];\n'
QASM += "measure q[1] -> c[0];\nif(c==1) x q[0];\n"


@pytest.mark.parametrize(
    "text",
    [random_circuit_text(3, 4, 20), "# a comment\n" + random_circuit_text(4, 4, 20), QASM, "// first\n  " + QASM],
)
def test_from_file(tmp_path, text):
    expected = C.from_qasm(text) if "OPENQASM" in text else C(text)
    path = tmp_path / "circuit.txt"
    path.write_text(text)
    assert C.from_file(path) == expected == C.from_file(str(path)) == C.from_file(bytes(path))
    assert "OPENQASM" not in text or C.from_qasm(text.encode()) == expected
    with pytest.raises(OSError):
        C.from_file(tmp_path / "missing")


def test_from_file_closes_its_file_when_the_read_fails(monkeypatch):
    closed = []

    class FailingRead:  # not an io class, whose finalizer would close it too
        def read(self, *args):
            raise OSError("the disk went away")

        def close(self):
            closed.append(True)
            raise ValueError("a close error must not hide the read error")

    monkeypatch.setattr(builtins, "open", lambda *args, **kwargs: FailingRead())
    with pytest.raises(OSError, match="the disk went away"):
        C.from_file("circuit.stim")
    assert closed == [True]


QASM_MALFORMED = [
    ("@t q[0];", "Clifford"),
    ("h q[0];\n@tdg q[1];", "Clifford"),
    ("@ccx q[0], q[1], q[2];", "Clifford"),
    ("@rx(pi/4) q[0];", "Clifford"),
    ("@cp(pi/2) q[0], q[1];", "Clifford"),
    ("gate g a { h a; t a; }\n@g q[0];", "'g'"),
    ("measure q[0] -> c[0];\nif(c==1) @measure q[1] -> c[0];", "if"),
    ("if(c==1) @reset q[0];", "if"),
    ("cx q[0], @q[0];", "twice"),
    ("h q[@3];", ""),
    ("@foo q[0];", "foo"),
    ("gate g a { @g a; }", "itself"),
    ("opaque o a;\n@o q[0];", "opaque"),
    ('include @"other.inc";', ""),
    ("rx(pi/2 @q[0];", ""),
    ("h q[0]@", ""),
]


@pytest.mark.parametrize("body, fragment", QASM_MALFORMED, ids=lambda x: repr(x)[:30])
def test_malformed_qasm_is_refused_where_it_goes_wrong(body, fragment):
    refused_at(C.from_qasm, 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[3];\ncreg c[1];\n' + body, fragment)


LIMITS = [  # (a program, a fragment of its refusal)
    ("qreg q[1];\nrx(" + "(" * 250 + "pi" + ")" * 250 + ") q[0];", "nested"),
    ("".join(f"gate g{k + 1} a {{ g{k} a; }}\n" for k in range(250)).replace("g0", "h", 1) + "qreg q[1];", "200"),
    ("qreg q[4294967296];", "4294967295"),
    ("qreg q[20000000];\nh q;", "2^24"),
    ("qreg q[1];\ncreg c[70];\nif(c==1180591620717411303424) x q[0];", ""),
]


@pytest.mark.parametrize("body, fragment", LIMITS, ids=lambda x: repr(x)[:30])
def test_qasm_limits(body, fragment):
    with pytest.raises(ValueError, match=r"^line \d+, column \d+: .*" + re.escape(fragment)):
        C.from_qasm('OPENQASM 2.0;\ninclude "qelib1.inc";\n' + body)
    for marked in ("OPENQASM @3.0;\n", "@qreg q[1];\n"):
        refused_at(C.from_qasm, marked, "")
