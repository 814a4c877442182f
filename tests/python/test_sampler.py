"""The shot samplers (Circuit.compile_sampler, Circuit.compile_detector_sampler), on both paths, judged by oracles.

- Noiseless circuits stim generates: no detection event and no observable flip, ever.
- Random noiseless circuits (every instruction, channels certain or erasing, Pauli and non-Pauli IF blocks): every
  sampled shot is a possible run, replayed into stim's tableau simulator by postselection
  (reference.StimCircuitFollower), which applies feedback and IF bodies where lumora's record says so.
- Noisy circuits: each measurement, detector and observable column's rate, and the coincidence rate of random
  pairs of columns, match stim's samplers (|z| <= 5: there are thousands of such comparisons); small circuits match
  rates worked out by hand (|z| <= 4); the shot-by-shot path matches the frame path on circuits with Pauli IF
  blocks, which stim cannot read.
- Seeds replay for any number of threads, bit packing and the written formats are the plain sample's bits, and
  bad arguments raise clear errors.

The shot-by-shot path is forced on a circuit the frame path can run too by appending a no-op non-Pauli IF block.
"""

import random
import re

import pytest

import lumora

from helpers import random_circuit_text
from reference import NUMPY_MISSING, STIM_MISSING, StimCircuitFollower

stim = pytest.importorskip("stim", reason=STIM_MISSING)
np = pytest.importorskip("numpy", reason=NUMPY_MISSING)

Z_MAX = 4  # for one comparison; a test comparing many columns with stim's takes Z_MANY
Z_MANY = 5  # ~5000 such comparisons a run: at 4, about one run in three would fail by chance; at 5, one in 300
SHOTS = 30_000
PATHS = ("frames", "shot_by_shot")
NO_OP_IF = "\nIF rec[-1] {\n    H 0\n    H 0\n}"  # H twice changes nothing, but frames cannot follow an H


# -- the shared harness -------------------------------------------------------------------------------------------


def compiled(text, path, seed=1):
    """lumora's measurement and detector samplers of ``text`` on ``path`` (forced by a no-op IF block)."""
    circuit = lumora.Circuit(text + (NO_OP_IF if path == "shot_by_shot" else ""))
    pair = circuit.compile_sampler(seed=seed), circuit.compile_detector_sampler(seed=seed + 1)
    assert [s.method for s in pair] == [path, path], text
    return pair


def columns(text, path, shots=SHOTS, seed=1):
    """lumora's two tables: the measurements, and the detection events with the observable flips appended."""
    measure, detect = compiled(text, path, seed)
    return measure.sample(shots, threads=2), detect.sample(shots, append_observables=True, threads=2)


def stim_columns(text, shots=SHOTS, seed=1):
    """The same tables from stim's samplers."""
    c = stim.Circuit(text)
    measured = c.compile_sampler(seed=seed).sample(shots)
    return measured, c.compile_detector_sampler(seed=seed).sample(shots, append_observables=True)


def z_of(diff, sd):
    """diff / sd per column, where an sd of 0 (a certain outcome) allows no difference at all."""
    return np.where(sd > 0, diff / np.where(sd > 0, sd, 1), np.where(diff == 0, 0, np.inf))


def two_sample_z(ours, theirs):
    """Per column, the z of the difference of two binomial rates (pooled variance)."""
    n, m = len(ours), len(theirs)
    p = (ours.sum(0) + theirs.sum(0)) / (n + m)
    return z_of(ours.mean(0) - theirs.mean(0), np.sqrt(p * (1 - p) * (1 / n + 1 / m)))


def pairs_of(bits, count=40, seed=0):
    """Whether both columns of ``count`` random pairs of distinct columns fire, as columns."""
    k = bits.shape[1]
    if k < 2:
        return bits[:, :0]
    rng = np.random.default_rng(seed)
    first = rng.integers(0, k, count)
    second = (first + rng.integers(1, k, count)) % k
    return bits[:, first] & bits[:, second]


def assert_same_statistics(ours, theirs, where):
    """In each table, column rates and pair coincidence rates agree within Z_MANY."""
    for table, a, b in zip(("measurement", "detector"), ours, theirs):
        assert a.shape[1] == b.shape[1], where
        for what, x, y in (("column", a, b), ("pair", pairs_of(a), pairs_of(b))):
            z = two_sample_z(x, y)
            bad = np.flatnonzero(abs(z) > Z_MANY)[:8]
            assert not len(bad), f"{where}: {table} {what}s {bad} rates {x.mean(0)[bad]} vs {y.mean(0)[bad]}"


def assert_rates(bits, expected, where):
    """Column rates of the two tables agree with probabilities worked out by hand within Z_MAX."""
    bits = np.hstack(bits)
    assert bits.shape[1] == len(expected), where
    p, n = np.array(expected, float), len(bits)
    z = z_of(bits.sum(0) - n * p, np.sqrt(n * p * (1 - p)))
    assert (abs(z) <= Z_MAX).all(), f"{where}: rates {bits.mean(0).round(4)}, expected {expected}"


# -- noiseless circuits: no detection events ----------------------------------------------------------------------

CODES = [
    ("repetition_code:memory", 5, 4),
    ("surface_code:rotated_memory_x", 3, 3),
    ("surface_code:rotated_memory_z", 5, 2),
    ("surface_code:unrotated_memory_z", 3, 2),
    ("color_code:memory_xyz", 3, 3),
]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("task, distance, rounds", CODES)
def test_noiseless_codes_never_detect(task, distance, rounds, path):
    """Every detector of a noiseless code keeps its value, and every observable."""
    text = str(stim.Circuit.generated(task, distance=distance, rounds=rounds))
    measure, detect = compiled(text, path)
    counted = stim.Circuit(text)
    assert (measure.num_measurements, detect.num_detectors, detect.num_observables) == (
        counted.num_measurements,
        counted.num_detectors,
        counted.num_observables,
    )
    events = detect.sample(2000, append_observables=True, threads=2)
    assert events.shape == (2000, counted.num_detectors + counted.num_observables) and not events.any()


# -- random noiseless circuits: every shot is a possible run ------------------------------------------------------


def ifs_beyond_paulis(circuit):
    """Whether some IF block, at any depth, applies a gate other than a Pauli."""
    for item in circuit:
        if item.name == "REPEAT" and ifs_beyond_paulis(item.body):
            return True
        if item.name == "IF" and any(inner.name not in ("I", "X", "Y", "Z") for inner in item.body):
            return True
    return False


@pytest.mark.parametrize("seed", range(16))
@pytest.mark.parametrize("variant", ["stim format", "forced", "IF blocks"])
def test_every_shot_is_a_possible_run(variant, seed):
    """Each shot replays in stim's tableau simulator: determined outcomes agree, open ones are postselected."""
    text = random_circuit_text(seed, 5, 40, certain=True, lumora_only=variant == "IF blocks")
    circuit = lumora.Circuit(text)
    circuit = lumora.Circuit(text + NO_OP_IF) if variant == "forced" and circuit.num_measurements else circuit
    sampler = circuit.compile_sampler(seed=seed)
    path = "shot_by_shot" if ifs_beyond_paulis(circuit) else "frames"
    assert sampler.method == path and sampler.num_measurements == circuit.num_measurements
    for k, shot in enumerate(sampler.sample(24, threads=2)):
        StimCircuitFollower(circuit.num_qubits).run(circuit, shot, f"{variant} seed {seed}, {path} shot {k}")


# -- noisy circuits against stim ----------------------------------------------------------------------------------

NOISE = dict.fromkeys(
    [f"{k}_depolarization" for k in ("after_clifford", "before_round_data")]
    + [f"{k}_flip_probability" for k in ("before_measure", "after_reset")],
    0.02,
)
PAULI_2 = ", ".join(str(k / 2000) for k in range(1, 16))  # 15 distinct probabilities: the order matters
CHANNELS = {
    "feedback": "RX 0 1\nX_ERROR(0.1) 2\nZ_ERROR(0.2) 0\nM 2\nMX 0\nCX rec[-2] 3\nCZ rec[-1] 1\nXCZ 0 rec[-2]"
    "\nYCZ 4 rec[-1]\nCY sweep[1] 2\nM 3 2 4\nMX 1 0\nDETECTOR rec[-5] rec[-7]\nDETECTOR rec[-2] rec[-6]",
    "measure": "RX 1\nRY 2\nM(0.05) 0\nMX(0.1) 1\nMY(0.15) 2\nMR(0.2) 0\nMRX(0.05) 1\nMRY(0.1) 2\nM 0\nMX 1\nMY 2"
    "\nMPP(0.1) X0*Z1 Y2\nMXX(0.05) 0 1\nMYY(0.1) 1 2\nMZZ(0.15) 0 2\nMPAD 1 0\nDETECTOR rec[-13] rec[-10]",
    "pauli": f"H 0 2\nCX 0 1 2 3\nY_ERROR(0.1) 0\nPAULI_CHANNEL_1(0.05, 0.1, 0.15) 1 2"
    f"\nPAULI_CHANNEL_2({PAULI_2}) 0 3 2 1\nDEPOLARIZE1(0.1) 3\nDEPOLARIZE2(0.2) 1 2\nCX 0 1 2 3\nH 0 2\nM 0 1 2 3"
    "\nDETECTOR rec[-1] rec[-4]\nOBSERVABLE_INCLUDE(2) rec[-2] rec[-3]",
    "correlated": "E(0.1) X0 Z1 Y2\nELSE_CORRELATED_ERROR(0.2) X1 X2\nELSE_CORRELATED_ERROR(0.3) Y0\nE(0.25) X3"
    "\nELSE_CORRELATED_ERROR(0.4) X0 X3\nH 1\nM 0 2 3\nMX 1\nDETECTOR rec[-1] rec[-2]",
    "heralded": "RX 1\nHERALDED_ERASE(0.2) 0 1\nHERALDED_PAULI_CHANNEL_1(0.1, 0.2, 0.05, 0.15) 2 1\nM 0 2\nMX 1"
    "\nDETECTOR rec[-2] rec[-5]\nDETECTOR rec[-1] rec[-4] rec[-6]\nOBSERVABLE_INCLUDE(0) rec[-3]",
    "repeat": "R 0 1 2\nREPEAT 4 {\n  DEPOLARIZE1(0.05) 0 1 2\n  CX 0 1 2 1\n  MR(0.02) 1\n  DETECTOR rec[-1]\n}"
    "\nREPEAT 2 {\n    X_ERROR(0.1) 0\n    M 0\n}\nDETECTOR rec[-1] rec[-2]\nOBSERVABLE_INCLUDE(1) rec[-1]",
}


GATES = [g.name for g in stim.gate_data().values() if g.is_unitary and g.name not in ("I", "II", "SPP", "SPP_DAG")]


def echo_circuit(seed, n=4, gates=40):
    """Random Cliffords of every kind stim knows, noise between them, then the inverse of the gates and every
    qubit measured: without noise every outcome is 0, so each rate depends on how the gates carry the noise."""
    rng, lines = random.Random(seed), []
    for _ in range(gates):
        name, (a, b) = rng.choice(GATES), rng.sample(range(n), 2)
        lines.append(f"{name} {a} {b}" if stim.gate_data(name).is_two_qubit_gate else f"{name} {a}")
        lines.append(rng.choice([f"PAULI_CHANNEL_1(0.01, 0.02, 0.04) {a}", f"PAULI_CHANNEL_2({PAULI_2}) {b} {a}", ""]))
    inverse = stim.Circuit("\n".join(lines)).without_noise().inverse()
    return "\n".join(lines) + f"\n{inverse}\nM {' '.join(map(str, range(n)))}\nDETECTOR rec[-1]\nDETECTOR rec[-2]"


NOISY = {f"{task} d{d}": str(stim.Circuit.generated(task, distance=d, rounds=r, **NOISE)) for task, d, r in CODES}
NOISY |= CHANNELS
NOISY |= {f"echo {seed}": echo_circuit(seed) for seed in range(4)}
NOISY |= {f"random {seed}": random_circuit_text(seed, 5, 30, certain=False, lumora_only=False) for seed in range(8)}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("name", NOISY)
def test_noisy_statistics_match_stim(name, path):
    """Rates and pair coincidences of measurements, detection events and observable flips are stim's."""
    text = NOISY[name]
    if path == "shot_by_shot":  # which refuses observables of the state's Paulis (test_bad_arguments...)
        text = re.sub(r"^(OBSERVABLE_INCLUDE.*) [XYZ]\d+$", r"\1", text, flags=re.M)
    assert_same_statistics(columns(text, path), stim_columns(text), f"{name} on {path}")


# -- small circuits against rates worked out by hand --------------------------------------------------------------

ONLY_4 = "0.1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0.2, 0, 0, 0.05, 0.1"
EXACT = [
    ("X_ERROR(0.1) 0\nY_ERROR(0.2) 1\nZ_ERROR(0.3) 2\nM 0 1 2", [0.1, 0.2, 0]),
    ("RX 0 1 2\nX_ERROR(0.1) 0\nY_ERROR(0.2) 1\nZ_ERROR(0.3) 2\nMX 0 1 2", [0, 0.2, 0.3]),
    # the flips a Pauli makes: M by X and Y, MX by Y and Z, MY by X and Z
    ("RY 0\nRX 2\nPAULI_CHANNEL_1(0.05, 0.1, 0.25) 0 1 2\nMY 0\nM 1\nMX 2", [0.3, 0.15, 0.35]),
    ("RY 1\nRX 2\nDEPOLARIZE1(0.3) 0 1 2\nM 0\nMY 1\nMX 2", [0.2, 0.2, 0.2]),  # 2 of the 3 Paulis flip each
    # 8 of the 15 two-qubit Paulis flip each qubit's Z, and 8 flip their parity
    ("DEPOLARIZE2(0.75) 0 1\nM 0 1\nDETECTOR rec[-1] rec[-2]", [0.4, 0.4, 0.4]),
    # IX 0.1, YZ 0.2, ZY 0.05, ZZ 0.1, the first letter on the first target: M flips by X and Y
    (
        f"PAULI_CHANNEL_2({ONLY_4}) 0 1\nPAULI_CHANNEL_2({ONLY_4}) 3 2\nM 0 1 2 3\nDETECTOR rec[-3] rec[-4]",
        [0.2, 0.15, 0.15, 0.2, 0.35],
    ),
    # a flipped record leaves the qubit alone; MPP X0*X1 of |00> is a coin, Z0*Z1 then still certain
    ("RX 1\nM(0.1) 0\nMX(0.2) 1\nMPP(0.3) X2*X3 Z2*Z3\nMR(0.05) 4\nM 4", [0.1, 0.2, 0.5, 0.3, 0.05, 0]),
    # one error of a chain at most: 0.1, then 0.9 * 0.2, then 0.9 * 0.8 * 0.5; a new E starts a new chain
    (
        "E(0.1) X0 X1\nELSE_CORRELATED_ERROR(0.2) X1 X2\nELSE_CORRELATED_ERROR(0.5) X0 X2\nE(0.3) X3"
        "\nELSE_CORRELATED_ERROR(0.5) X4\nM 0 1 2 3 4",
        [0.46, 0.28, 0.54, 0.3, 0.35],
    ),
    # an E without targets still fires, and so blocks the rest of its chain
    ("E(0.1)\nELSE_CORRELATED_ERROR(0.2) X0\nM 0", [0.18]),
    # an erased qubit takes any of the four Paulis: the herald, then a flip half as often, never without the herald
    (
        "HERALDED_ERASE(0.3) 0\nM 0\nRX 1\nHERALDED_ERASE(0.2) 1\nMX 1"
        "\nDETECTOR rec[-1] rec[-2]\nDETECTOR rec[-3] rec[-4]",
        [0.3, 0.15, 0.2, 0.1, 0.1, 0.15],
    ),
    # heralded I 0.1, X 0.2, Y 0.05, Z 0.15: the herald 0.5; M flips by X and Y, only when heralded
    ("HERALDED_PAULI_CHANNEL_1(0.1, 0.2, 0.05, 0.15) 0\nM 0\nDETECTOR rec[-1] rec[-2]", [0.5, 0.25, 0.25]),
    # measuring makes later anticommuting measurements coins, and repeats of commuting ones agree
    (
        "H 0\nM 0\nH 0\nM 0 0\nDETECTOR rec[-1] rec[-2]\nRX 1\nM 1\nMX 1\nMRY 2\nMY 2\nR 3\nH 3\nR 3\nM 3",
        [0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0, 0, 0],
    ),
    # feedback, from far back, reads its own record entry: the copied flip cancels in each detector
    (
        "X_ERROR(0.1) 0\nX_ERROR(0.3) 1\nM 0 1\nMPAD 0 1 0 0 0 0\nCX rec[-8] 2\nRX 3\nCZ 3 rec[-7]\nCX sweep[0] 2"
        "\nM 2\nMX 3\nDETECTOR rec[-2] rec[-10]\nDETECTOR rec[-1] rec[-9]",
        [0.1, 0.3, 0, 1, 0, 0, 0, 0, 0.1, 0.3, 0, 0],
    ),
    # an IF block of Paulis (I among them) copies the coin exactly
    ("H 0\nM 0\nIF rec[-1] {\n    X 1\n    I 2\n}\nM 1 2\nDETECTOR rec[-2] rec[-3]", [0.5, 0.5, 0, 0]),
    # flips accumulate: odd counts of 1, 2, 3 flips of 0.1; observable 0 is empty, 1 the first
    (
        "REPEAT 3 {\n    X_ERROR(0.1) 0\n    M 0\n}\nDETECTOR rec[-1] rec[-2]\nOBSERVABLE_INCLUDE(1) rec[-3]",
        [0.1, 0.18, 0.244, 0.1, 0, 0.1],
    ),
]


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("text, expected", EXACT, ids=range(len(EXACT)))
def test_small_circuits_match_rates_by_hand(text, expected, path):
    """Each column's rate (measurements, detectors, observables) is its probability worked out by hand."""
    assert_rates(columns(text, path), expected, f"{text!r} on {path}")


# -- Pauli IF blocks: frames against shot by shot -----------------------------------------------------------------

PAULI_IFS = [
    "RX 0 1\nDEPOLARIZE1(0.2) 0 1\nMX 0 1\nIF rec[-1] !rec[-2] {\n    X 2\n    Y 3\n}\nZ_ERROR(0.1) 3\nM 2\nMX 3"
    "\nDETECTOR rec[-1] rec[-2]",
    "H 0\nREPEAT 3 {\n    X_ERROR(0.2) 1\n    M 1\n    IF !rec[-1] {\n        X 0\n        Z 2\n    }\n    H 0 2\n}"
    "\nM 0\nMX 2\nMPP X0*Z2\nDETECTOR rec[-3] rec[-4]",
    "PAULI_CHANNEL_1(0.1, 0.2, 0.3) 0 1\nM 0 1\nIF rec[-2] rec[-1] {\n    Y 2\n}\nIF rec[-1] {\n    X 0\n    I 1\n}"
    "\nM 0 1 2\nDETECTOR rec[-1]\nOBSERVABLE_INCLUDE(0) rec[-2]",
]


@pytest.mark.parametrize("text", PAULI_IFS, ids=range(len(PAULI_IFS)))
def test_pauli_if_blocks_on_frames_match_shot_by_shot(text):
    """IF blocks of Paulis run on frames, and their statistics are those of running each shot."""
    assert_same_statistics(columns(text, "frames"), columns(text, "shot_by_shot", seed=5), text)


# -- seeds, threads, packing, files -------------------------------------------------------------------------------

# a noisy code, then 4100 columns more: a 01 file is written in chunks of 768 shots
REPLAYED = str(stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=2, **NOISE))
REPLAYED += "\nREPEAT 4100 {\n    X_ERROR(0.4) 0\n    MR 0\n    DETECTOR rec[-1]\n}"


def as_01(bits):
    """The bytes of stim's 01 format: a line of 0 and 1 per shot."""
    digits = np.where(bits, ord("1"), ord("0"))
    return np.hstack([digits, np.full((len(bits), 1), ord("\n"))]).astype(np.uint8).tobytes()


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("detectors", [False, True], ids=["measurements", "detectors"])
def test_seeded_calls_replay_in_every_form(detectors, path, tmp_path):
    """Identically seeded samplers give each call's bits whatever the threads (1000 shots: blocks of 256 and a
    part), packed, written to a file, or with the observables apart; successive calls and other seeds differ."""

    def fresh(seed=9):
        return compiled(REPLAYED, path, seed)[detectors]

    shots, options = 1000, {"append_observables": True} if detectors else {}
    first = fresh()
    calls = [first.sample(shots, **options) for _ in range(2)]
    assert not np.array_equal(*calls) and not np.array_equal(calls[0], fresh(10).sample(shots, **options))
    assert first.sample(0, **options).shape == (0, calls[0].shape[1])
    packed = [np.packbits(call, axis=1, bitorder="little") for call in calls]
    threaded, bits, files = fresh(), fresh(), fresh()
    for k, (threads, form) in enumerate([(3, "01"), (2, "b8")]):
        assert np.array_equal(threaded.sample(shots, threads=threads, **options), calls[k])
        assert np.array_equal(bits.sample(shots, bit_packed=True, threads=threads, **options), packed[k])
        file = tmp_path / f"shots.{form}"
        files.sample_write(shots, str(file), form, threads=threads, **options)
        assert file.read_bytes() == (as_01(calls[k]) if form == "01" else packed[k].tobytes())
        read = stim.read_shot_data_file(path=str(file), format=form, num_measurements=calls[k].shape[1])
        assert np.array_equal(read, calls[k])
    if detectors:
        split, plain, width = fresh(), fresh(), first.num_detectors
        assert np.array_equal(np.hstack(split.sample(shots, separate_observables=True)), calls[0])
        assert np.array_equal(plain.sample(shots), calls[0][:, :width])
        events, flips = split.sample(shots, separate_observables=True, bit_packed=True)
        assert np.array_equal(events, np.packbits(calls[1][:, :width], axis=1, bitorder="little"))
        assert np.array_equal(flips, np.packbits(calls[1][:, width:], axis=1, bitorder="little"))


# -- arguments ----------------------------------------------------------------------------------------------------

BAD = [
    (lambda m, d, f: m.sample(-1), (ValueError, TypeError), "shots"),
    (lambda m, d, f: d.sample(2.5), TypeError, "shots"),
    (lambda m, d, f: m.sample("3"), TypeError, "shots"),
    (lambda m, d, f: m.sample(10, threads=0), ValueError, "threads"),
    (lambda m, d, f: d.sample(10, threads=1025), ValueError, "threads"),
    (lambda m, d, f: m.sample(10, threads=-2), (ValueError, TypeError), "threads"),
    (lambda m, d, f: m.sample_write(-1, f), (ValueError, TypeError), "shots"),
    (lambda m, d, f: m.sample_write(3, f, "dets"), ValueError, "format"),
    (lambda m, d, f: d.sample_write(3, f, format="B8"), ValueError, "format"),
    (lambda m, d, f: d.sample_write(3, f, threads=0), ValueError, "threads"),
    (lambda m, d, f: d.sample(3, separate_observables=True, append_observables=True), ValueError, "observables"),
    (lambda m, d, f: lumora.MeasurementSampler(), TypeError, "MeasurementSampler"),
    (lambda m, d, f: lumora.DetectorSampler(), TypeError, "DetectorSampler"),
    (lambda m, d, f: lumora.Circuit("M 0").compile_sampler(seed=-1), ValueError, "seed"),
    # the shot-by-shot path cannot tell how an observable's Pauli of the state flips
    (
        lambda m, d, f: lumora.Circuit("M 0\nOBSERVABLE_INCLUDE(0) X0" + NO_OP_IF).compile_detector_sampler(),
        ValueError,
        "observables",
    ),
]


@pytest.mark.parametrize("call, error, named", BAD, ids=[f"{k}-{named}" for k, (_, _, named) in enumerate(BAD)])
def test_bad_arguments_raise_before_any_work(call, error, named, tmp_path):
    """A bad argument raises an error naming it before any work: no file is written, and the samplers' next calls
    are their first."""
    text = "H 0 1\nM 0 1\nDETECTOR rec[-1]"
    measure, detect = compiled(text, "frames")
    file = tmp_path / "out"
    with pytest.raises(error, match=named):
        call(measure, detect, str(file))
    assert not file.exists()
    for used, new in zip((measure, detect), compiled(text, "frames")):
        assert np.array_equal(used.sample(64), new.sample(64))
