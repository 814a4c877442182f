"""Pickling: a round trip gives the same state (judged by the dense and stim references) and, when seeded, the
same outcomes; the payload is compact; the loader refuses damaged payloads, and what it loads is a whole state."""

import pickle
import random
import zlib

import pytest

from helpers import (
    L,
    built,
    check_graph_shape,
    cluster_line,
    components,
    dense_state,
    play,
    random_ops,
    refcounts,
    sample_state,
    tableau_state,
)
from reference import Dense, StimFollower, follow, needs_numpy, needs_stim


@needs_numpy
@needs_stim
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("seed", [None, 2**300 + 5], ids=["unseeded", "seeded"])
@pytest.mark.parametrize("kind", ["empty", "product", "ghz", "random", "graph", "dense", "tableau"])
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
        assert Dense.from_graph(n, edges, words).same_as(Dense.from_graph(n, *sim.graph()))
    if n:  # the loaded simulator behaves as the state it claims, followed in stim; a seeded one as the original
        ref = StimFollower.from_graph(n, *sim.graph())
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


@pytest.mark.parametrize(
    "make",
    [
        lambda: cluster_line(100_000, key=1),
        lambda: dense_state(23),
        lambda: built(L(2000, seed=2), random_ops(random.Random(3), 2000, 20_000)),
    ],
)
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


@pytest.mark.parametrize(
    "make,truncations,flips",
    [
        (lambda: sample_state("ghz", 5), None, 600),
        (lambda: sample_state("random", None), None, 600),
        (lambda: built(L(300, seed=4), random_ops(random.Random(4), 300, 3000)), 200, 400),
        (lambda: sample_state("tableau", 6), 200, 400),
    ],
)
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


@needs_stim
@pytest.mark.parametrize(
    "n,czs,tries,make",
    [
        (12, 30, 1500, dense_state),
        (40, 300, 600, dense_state),
        (120, 3000, 150, dense_state),
        (160, 2000, 80, lambda seed, n, czs, key: tableau_state(seed, n, 3 * czs, key)),
    ],
)
def test_loader_checks_what_the_checksum_cannot(n, czs, tries, make):
    """Damage behind a valid checksum: the body is changed and sealed again with the CRC-32 of its bytes. The
    loader refuses such a payload as it does any other, or loads a state that is whole: its stabilizers are those
    of its graph (rebuilt in stim), its groups are the graph's components, and it pickles again."""
    rng = random.Random(n)
    for attempt in range(tries):
        sim = make(attempt, n=n, czs=rng.randint(0, czs), key=rng.choice([None, attempt]))
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
        assert loaded.stabilizers() == StimFollower.from_graph(m, edges, words).stabilizers(), attempt
        assert [loaded.get_entangled_group(q) for q in range(m)] == components(m, edges), attempt
        assert pickle.loads(pickle.dumps(loaded)).stabilizers() == loaded.stabilizers()


@pytest.mark.parametrize("arg", [None, "payload", 12, [1, 2], ("tuple",)])
def test_loader_wants_bytes(arg):
    with pytest.raises(TypeError):
        L._from_pickle(arg)


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(0x80 | value & 0x7F)
        value >>= 7
    return bytes(out + bytes([value]))


def written(n, tableaux, edges=(), count=None, spare=0, spare_signs=0, cut=0, extra=b""):
    """A payload written by hand: n qubits with operator 0, `edges` (a < b), and `tableaux` as (members, generators
    as letter strings over them, signs as a string of + and -); `spare` is OR-ed into the last byte of every
    generator and `spare_signs` into that of the signs, `cut` bytes come off the end of the body and `extra` is
    appended to it."""
    body = bytearray(b"LUMORA\x01" + bytes([4 if tableaux or count is not None else 0]) + varint(n) + bytes(n))
    for q in range(n):
        above = sorted(b for a, b in edges if a == q)
        body += varint(len(above)) + b"".join(varint(w - v) for v, w in zip([q] + above, above))
    body += varint(len(tableaux) if count is None else count)
    for members, generators, signs in tableaux:
        body += varint(len(members)) + b"".join(map(varint, members))
        for gen in generators:
            bits = sum(("IXZY".index(c)) << 2 * j for j, c in enumerate(gen))
            row = bytearray(bits.to_bytes((2 * len(members) + 7) // 8, "little"))
            row[-1] |= spare
            body += row
        sign_bits = bytearray(
            sum(1 << r for r, s in enumerate(signs) if s == "-").to_bytes((len(signs) + 7) // 8, "little")
        )
        if sign_bits:
            sign_bits[-1] |= spare_signs
        body += sign_bits
    body = body[: len(body) - cut] + extra
    return bytes(body) + zlib.crc32(body).to_bytes(4, "little")


BELL = ([0, 2], ["XX", "ZZ"], "+-")
WRITTEN_REFUSALS = [
    ("non-commuting", {"n": 3, "tableaux": [([0, 2], ["XX", "ZI"], "++")]}, "do not commute or are not independent"),
    ("dependent", {"n": 3, "tableaux": [([0, 2], ["XX", "XX"], "++")]}, "do not commute or are not independent"),
    ("unused generator bits", {"n": 3, "tableaux": [BELL], "spare": 0x80}, "unused tableau bits set"),
    ("unused sign bits", {"n": 3, "tableaux": [BELL], "spare_signs": 0x80}, "unused tableau bits set"),
    ("member twice", {"n": 3, "tableaux": [([0, 0], ["XX", "ZZ"], "++")]}, "tableau member 0 listed twice"),
    ("member with edges", {"n": 3, "tableaux": [BELL], "edges": [(0, 1)]}, "tableau member 0 has edges"),
    ("member out of range", {"n": 2, "tableaux": [BELL]}, "tableau member out of range"),
    ("empty tableau", {"n": 3, "tableaux": [([], [], "")]}, "empty tableau"),
    ("no tableaux", {"n": 3, "tableaux": [], "count": 0}, "non-canonical tableau count"),
    (
        "out of order",
        {"n": 4, "tableaux": [([2, 3], ["XX", "ZZ"], "++"), ([0, 1], ["XX", "ZZ"], "++")]},
        "out of order",
    ),
    ("truncated", {"n": 3, "tableaux": [BELL], "cut": 1}, "truncated data"),
    ("trailing", {"n": 3, "tableaux": [BELL], "extra": b"\0"}, "trailing bytes"),
]


@pytest.mark.parametrize("case,args,message", WRITTEN_REFUSALS, ids=[c[0] for c in WRITTEN_REFUSALS])
def test_loader_refuses_bad_tableaux(case, args, message):
    with pytest.raises(ValueError, match="^invalid Lumora pickle: .*" + message):
        L._from_pickle(written(**args))


def test_loader_builds_a_written_tableau():
    """The Bell pair +XX, -ZZ on qubits 0 and 2, kept as a tableau, is that state, and pickles back to its bytes."""
    payload = written(3, [BELL])
    sim = L._from_pickle(payload)
    assert sim.stabilizers() == ["+XIX", "-ZIZ", "+IXI"]
    assert sim.get_entangled_group(2) == {0, 2} and sim.get_entangled_group(1) == {1}
    assert sim.__reduce__()[1][0] == payload
