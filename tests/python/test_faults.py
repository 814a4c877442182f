"""Failed calls change nothing observable.

Every public call is made to fail at each of its allocations in turn, and interrupted at each of its interrupt checks
in turn, until it gets through. After every failure the simulator's pickle (its graph, vertex operators, seeded
stream position and preview count) is byte for byte what it was; once the call gets through, its result and the
simulator equal those of a twin that never failed. Python's own allocations fail too where the interpreter offers the
hook (``_testcapi``).
"""

import copy
import pickle
import random

import pytest

import lumora

from helpers import ONE_QUBIT, TWO_QUBIT, oob, panics, tableau_state

try:
    import _testcapi
except ImportError:  # not every interpreter build ships it
    _testcapi = None

L = lumora.Lumora
N, HUB, LEAVES, SEED = 24, 0, 8, 11


def build():
    """A seeded state with a GHZ star (hub turned by h, so that gates at it rewrite its neighbourhood) and a random
    graph state on the other qubits."""
    sim, pick = L(N, seed=SEED), random.Random(5)
    sim.h(HUB)
    for q in range(1, LEAVES + 1):
        sim.cx(HUB, q)
    for q in range(LEAVES + 1, N):
        sim.h(q)
    for a in range(LEAVES + 1, N):
        for b in range(a + 1, N):
            if pick.random() < 0.4:
                sim.cz(a, b)
    sim.h(HUB)
    sim.s(N - 1)
    return sim


def build_tableau():
    """A seeded state whose qubits 0..N-1 (and 106 more) are one group kept as a stabilizer tableau."""
    sim = tableau_state(7, key=SEED)
    assert sim.__reduce__()[1][0][7] & 4, "the group should be a tableau"
    return sim


BUILDS = {"graph": build, "tableau": build_tableau}


def method_call(name, *args):
    """A call of the named method with fixed arguments, in the form CALLS takes."""
    return lambda s, b: getattr(s, name)(*args)


CALLS = {
    **{name: method_call(name, HUB) for name in ONE_QUBIT},
    **{name: method_call(name, HUB, N - 1) for name in TWO_QUBIT},
    **{f"{name}({q})": method_call(name, q) for name in ("measure_x", "measure_y", "measure_z") for q in (HUB, N - 1)},
    "get_entangled_group": lambda s, b: s.get_entangled_group(N - 1),
    "peek_measure_set": lambda s, b: s.peek_measure_set(set(range(N))),
    "copy": lambda s, b: s.copy(),
    "copy(seed)": lambda s, b: s.copy(seed=3),
    "copy.copy": lambda s, b: copy.copy(s),
    "copy.deepcopy": lambda s, b: copy.deepcopy(s),
    "pickle.dumps": lambda s, b: pickle.dumps(s),
    "pickle.loads": lambda s, b: pickle.loads(b),
    "stabilizers": lambda s, b: s.stabilizers(),
    "stabilizers(qubits)": lambda s, b: s.stabilizers(range(LEAVES + 1)),
    "graph": lambda s, b: s.graph(),
    "to_networkx": lambda s, b: s.to_networkx(),
    "num_qubits": lambda s, b: s.num_qubits,
    "repr": lambda s, b: repr(s),
    "Lumora": lambda s, b: L(N, seed=5),
}
# calls that must allocate in C++, and calls that must check for interrupts, even on a state this small (gates and
# measurements reuse the scratch memory the state already has, and may take paths that cannot be interrupted)
MUST_ALLOCATE = {
    "get_entangled_group",
    "peek_measure_set",
    "copy",
    "copy(seed)",
    "copy.copy",
    "copy.deepcopy",
    "pickle.dumps",
    "pickle.loads",
    "stabilizers",
    "stabilizers(qubits)",
    "graph",
    "to_networkx",
    "Lumora",
}
MUST_CHECK = {
    "get_entangled_group",
    "peek_measure_set",
    "pickle.dumps",
    "stabilizers",
    "stabilizers(qubits)",
    "graph",
    "to_networkx",
}


def arm_python_allocations(k):
    _testcapi.set_nomemory(k, 0)


def disarm_python_allocations():
    _testcapi.remove_mem_hooks()


FAULTS = {
    "allocation": (lambda k: L._inject_faults(allocations=k), L._inject_faults, MemoryError),
    "interrupt": (lambda k: L._inject_faults(polls=k), L._inject_faults, KeyboardInterrupt),
    "python allocation": (arm_python_allocations, disarm_python_allocations, MemoryError),
}


def plain(value):
    """A result in a form that compares by value."""
    if isinstance(value, L):
        return pickle.dumps(value)
    if isinstance(value, dict):
        return {q: str(outcome) for q, outcome in value.items()}
    if isinstance(value, lumora.MeasurementResult):
        return int(value)
    if type(value).__name__ == "Graph":
        return sorted(value.nodes(data=True)), sorted(tuple(sorted(e)) for e in value.edges)
    return value


@pytest.mark.parametrize("state", BUILDS)
@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("name", CALLS)
def test_failed_call_changes_nothing(name, fault, state):
    if state == "tableau" and name == "stabilizers(qubits)":
        pytest.skip("the first qubits of a tableau are not a union of groups")
    if name == "to_networkx":
        pytest.importorskip("networkx", reason="networkx is not installed (pip install networkx)")
    if fault == "python allocation" and _testcapi is None:
        pytest.skip("this interpreter has no _testcapi")
    arm, disarm, error = FAULTS[fault]
    call, sim, twin = CALLS[name], BUILDS[state](), BUILDS[state]()
    before = pickle.dumps(sim)
    failures = 0
    while True:
        arm(failures)
        try:
            result = call(sim, before)
        except error:
            disarm()
            assert pickle.dumps(sim) == before, f"failure {failures} of {name} changed the simulator"
            failures += 1
            assert failures < 100000, f"{name} never got through"
            continue
        finally:
            disarm()
        break
    assert plain(result) == plain(call(twin, before))
    assert pickle.dumps(sim) == pickle.dumps(twin)
    if (fault == "allocation" and name in MUST_ALLOCATE) or (fault == "interrupt" and name in MUST_CHECK):
        assert failures > 0, f"no {fault} was injected into {name}: the hook is not in its path"


def test_injected_faults_are_off_again():
    sim = build()
    L._inject_faults(allocations=0, polls=0)
    L._inject_faults()
    assert plain(sim.peek_measure_set(set(range(N)))) == plain(build().peek_measure_set(set(range(N))))


# -- previews on a seeded simulator ------------------------------------------------------------------------------


def outcomes(sim, previews):
    """Measures every qubit in X, taking a preview of all before each measurement when ``previews``."""
    seen = []
    for q in range(N):
        if previews:
            sim.peek_measure_set(set(range(N)))
        seen.append(int(sim.measure_x(q)))
    return seen


def test_previews_never_change_later_outcomes():
    assert outcomes(build(), True) == outcomes(build(), False)


def test_preview_replays_across_copies_and_pickles_and_moves_on():
    sim = build()
    first = plain(sim.peek_measure_set(set(range(N))))
    replayed = [plain(s.peek_measure_set(set(range(N)))) for s in (sim.copy(), pickle.loads(pickle.dumps(sim)))]
    assert replayed[0] == replayed[1]
    later = {str(replayed[0])} | {str(plain(sim.peek_measure_set(set(range(N))))) for _ in range(10)}
    assert len(later) > 1 and first != replayed[0], "a seeded simulator gave the same preview every time"


def test_failed_preview_draws_nothing():
    sim = build()
    before = pickle.dumps(sim)
    with panics(oob(N, N)):
        sim.peek_measure_set({0, 1, N})
    assert pickle.dumps(sim) == before


# -- samplers ----------------------------------------------------------------------------------------------------

SAMPLED = {
    "frames": "R 0 1 2\nREPEAT 3 {\n    H 0\n    CX 0 1 1 2\n    DEPOLARIZE1(0.1) 0 1 2\n    M 0 2\n"
    "    DETECTOR rec[-1] rec[-2]\n}",
    "shot_by_shot": "H 0 1\nCZ 0 1\nMX 0\nIF rec[-1] {\n    H 1\n}\nX_ERROR(0.2) 1\nM 1\nDETECTOR rec[-1]",
}


@pytest.mark.parametrize("fault", ["allocation", "interrupt"])
@pytest.mark.parametrize("path", SAMPLED)
def test_failed_sample_changes_nothing(path, fault):
    """A compile or a sample that fails raises, and the sampler's next call is still the one it would have made."""
    np = pytest.importorskip("numpy")
    arm, disarm, error = FAULTS[fault]
    circuit = lumora.Circuit(SAMPLED[path])
    expected = circuit.compile_detector_sampler(seed=3).sample(700, threads=2)
    failures = {"compile": 0, "sample": 0}
    sampler = circuit.compile_detector_sampler(seed=3)  # its calls fail until one gets through
    for stage in failures:
        while True:
            arm(failures[stage])
            try:
                made = circuit.compile_detector_sampler(seed=3) if stage == "compile" else sampler
                got = sampler.sample(700, threads=2) if stage == "sample" else None
            except error:
                failures[stage] += 1
                assert failures[stage] < 100000, f"{stage} never got through"
                continue
            finally:
                disarm()
            break
        assert made.method == path
        if stage == "sample":
            np.testing.assert_array_equal(got, expected)
    assert failures["sample"] > 0, f"no {fault} was injected into sample"
