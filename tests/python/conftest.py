"""Shared helpers for the lumora Python tests."""
import contextlib
import types

import pytest


class Index:
    """Integer stand-in whose ``__index__`` first runs ``hook`` and keeps what it returned."""

    def __init__(self, value, hook=None):
        self.value, self.hook, self.seen = value, hook, None

    def __index__(self):
        self.seen = self.hook() if self.hook else None
        return self.value


@contextlib.contextmanager
def panics(message):
    """Expect an engine failure: a PanicException carrying exactly ``message``."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException" and info.value.args == (message,)


@pytest.fixture
def kit():
    return types.SimpleNamespace(
        Index=Index, panics=panics,
        oob=lambda n, q: f"index out of bounds: the len is {n} but the index is {q}",
        text=lambda axis, bit: f"({axis.upper()}, {'-' if bit else '+'}1)",  # how an Outcome prints
        peek_text=lambda sim, qubits: {q: str(o) for q, o in sim.peek_measure_set(set(qubits)).items()})
