"""A seeded simulator's outcomes follow from the documented key derivation: a ChaCha12 written here from the
published algorithm predicts every outcome bit of X measurements on fresh qubits (each the top bit of one word)."""

import pytest

from lumora import Lumora

MASK = 0xFFFFFFFF


def rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK


def chacha12_block(key, counter):
    """The 16 words of one ChaCha block with 12 rounds, 64-bit counter, stream 0."""
    state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]
    state += [int.from_bytes(key[4 * i : 4 * i + 4], "little") for i in range(8)]
    state += [counter & MASK, counter >> 32, 0, 0]
    x = list(state)

    def quarter(a, b, c, d):
        x[a] = (x[a] + x[b]) & MASK
        x[d] = rotl(x[d] ^ x[a], 16)
        x[c] = (x[c] + x[d]) & MASK
        x[b] = rotl(x[b] ^ x[c], 12)
        x[a] = (x[a] + x[b]) & MASK
        x[d] = rotl(x[d] ^ x[a], 8)
        x[c] = (x[c] + x[d]) & MASK
        x[b] = rotl(x[b] ^ x[c], 7)

    for _ in range(6):
        quarter(0, 4, 8, 12), quarter(1, 5, 9, 13), quarter(2, 6, 10, 14), quarter(3, 7, 11, 15)
        quarter(0, 5, 10, 15), quarter(1, 6, 11, 12), quarter(2, 7, 8, 13), quarter(3, 4, 9, 14)
    return [(a + b) & MASK for a, b in zip(x, state)]


def first_32_bytes(key):
    return b"".join(w.to_bytes(4, "little") for w in chacha12_block(key, 0)[:8])


def xor(a, b):
    return bytes(p ^ q for p, q in zip(a, b))


def key_from_seed(seed):
    return key_from_bytes(seed.to_bytes((seed.bit_length() + 7) // 8, "little"))


def key_from_bytes(raw):
    chunks = max(1, -(-len(raw) // 32))
    raw = raw.ljust(32 * chunks, b"\0")
    key = bytes(32)
    for i in range(chunks):
        key = first_32_bytes(xor(key, raw[32 * i : 32 * i + 32]))
    return first_32_bytes(xor(key, chunks.to_bytes(8, "little").ljust(32, b"\0")))


def words(seed, count, key=None):
    key = key_from_seed(seed) if key is None else key
    out = []
    block = 0
    while len(out) < count:
        out += chacha12_block(key, block)
        block += 1
    return out[:count]


@pytest.mark.parametrize("seed", [0, 1, 255, 256, 2**64 + 3, 2**255, 2**256, 2**300 + 5, 3**400])
def test_outcomes_follow_the_documented_stream(seed):
    # 150 draws cross the 64-word refills twice
    n = 150
    sim = Lumora(n, seed=seed)
    bits = [int(sim.measure_x(q)) for q in range(n)]
    assert bits == [w >> 31 for w in words(seed, n)]


def test_copies_and_pickles_resume_mid_refill():
    import pickle

    sim = Lumora(200, seed=99)
    expected = [w >> 31 for w in words(99, 200)]
    first = [int(sim.measure_x(q)) for q in range(37)]
    copied, loaded = sim.copy(), pickle.loads(pickle.dumps(sim))
    rest = [[int(s.measure_x(q)) for q in range(37, 200)] for s in (sim, copied, loaded)]
    assert first == expected[:37]
    assert rest == [expected[37:]] * 3


def test_previews_draw_from_the_documented_streams():
    """A preview of one qubit of a Bell pair draws its axis from the first word of its own stream: the integer part
    of 3w / 2^32. Each preview's stream is keyed from the position (a fresh stream: block 0, all 64 words of the
    current refill used) and the number of previews before it."""
    seed, count = 2024, 40
    sim = Lumora(2, seed=seed)
    sim.h(0)
    sim.cx(0, 1)
    axes = [int(sim.peek_measure_set({0})[0].axis) for _ in range(count)]
    position = key_from_seed(seed) + (0).to_bytes(8, "little") + (64).to_bytes(4, "little")
    expected = [
        3 * words(None, 1, key_from_bytes(position + k.to_bytes(8, "little") + b"preview"))[0] >> 32
        for k in range(count)
    ]
    assert axes == expected
