"""Shared helpers for the lumora Python tests."""
import contextlib
import types

import pytest


class Index:
    """Integer stand-in: ``__index__`` runs ``hook`` first and keeps what it returned."""

    def __init__(self, value, hook=None):
        self.value, self.hook, self.seen = value, hook, None

    def __index__(self):
        if self.hook is not None:
            self.seen = self.hook()
        return self.value


def oob(n, q):
    return f"index out of bounds: the len is {n} but the index is {q}"


def text(axis, bit):
    """How an Outcome prints for an axis letter and an outcome bit."""
    return f"({axis.upper()}, {'-' if bit else '+'}1)"


def peek_text(sim, qubits):
    return {q: str(o) for q, o in sim.peek_measure_set(set(qubits)).items()}


@contextlib.contextmanager
def panics(message):
    """Expect an engine failure: a PanicException carrying exactly ``message``."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)


@pytest.fixture
def kit():
    return types.SimpleNamespace(Index=Index, oob=oob, text=text, peek_text=peek_text, panics=panics)
