"""What the README and the examples promise, run as a user would run it."""

import importlib
import re
import shlex
import sys
from pathlib import Path

import pytest

from helpers import fenced_blocks, run_python

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
EXAMPLES = ROOT / "examples"
# what an example needs beyond lumora: its tests skip without it
EXAMPLE_NEEDS = {"parallel_shots.py": "numpy"}


def example_needs(script):
    """Skips the test when the example ``script`` (a file name) needs a package that is not installed."""
    if script in EXAMPLE_NEEDS:
        package = EXAMPLE_NEEDS[script]
        pytest.importorskip(package, reason=f"examples/{script} needs {package}, which is not installed")


PYTHON_BLOCKS = fenced_blocks(README)


def test_every_python_block_is_found():
    # A fence written differently (indented, "py", trailing text) would be
    # skipped silently by the runner below.
    opened = [
        line
        for line in README.read_text(encoding="utf-8").splitlines()
        if line.lstrip().startswith("```") and "py" in line
    ]
    assert len(PYTHON_BLOCKS) == len(opened) >= 4


@pytest.mark.parametrize("line, source", PYTHON_BLOCKS, ids=[f"README.md:{line}" for line, _ in PYTHON_BLOCKS])
def test_readme_python_block(line, source, tmp_path, monkeypatch):
    if "to_networkx" in source:
        pytest.importorskip("networkx", reason="networkx is not installed (pip install networkx)")
    monkeypatch.chdir(tmp_path)
    # Padded so that a traceback names the README's own line numbers.
    code = compile("\n" * (line - 1) + source, str(README), "exec")
    exec(code, {"__name__": "readme_block"})


def readme_example_commands():
    """The `python examples/...` command lines of the README's shell blocks."""
    commands = []
    for _, text in fenced_blocks(README, "sh"):
        for match in re.finditer(r"\bpython3? (examples/[^\s&|;]+\.py[^&|;\n]*)", text):
            commands.append(shlex.split(match.group(1)))
    return commands


@pytest.mark.parametrize("command", readme_example_commands(), ids=" ".join)
def test_readme_example_command(command, tmp_path):
    script, *args = command
    example_needs(Path(script).name)
    done = run_python(str(ROOT / script), *args, cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stderr


def test_readme_names_an_example_command():
    assert any(command[0] == "examples/quickstart.py" for command in readme_example_commands())


# Every example runs as a script; the slow ones are given small arguments.
EXAMPLE_ARGS = {"parallel_shots.py": ["--shots", "200", "--workers", "2", "--seed", "5"]}


@pytest.mark.parametrize("script", sorted(path.name for path in EXAMPLES.glob("*.py")))
def test_example_runs(script, tmp_path):
    example_needs(script)
    done = run_python(str(EXAMPLES / script), *EXAMPLE_ARGS.get(script, []), cwd=tmp_path, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip()


@pytest.fixture(scope="module")
def shots_example():
    example_needs("parallel_shots.py")
    # Imported by its own name, so that worker processes (whatever their
    # start method) find the functions they are sent.
    sys.path.insert(0, str(EXAMPLES))
    try:
        yield importlib.import_module("parallel_shots")
    finally:
        sys.path.remove(str(EXAMPLES))


QUBITS = 10


def assert_ghz_shots(shots, count):
    assert len(shots) == count
    assert all(isinstance(shot, tuple) and len(shot) == QUBITS for shot in shots)
    # A GHZ state measured in Z: every qubit agrees, in every shot.
    assert all(set(shot) in ({0}, {1}) for shot in shots)


def test_process_pool_is_reproducible(shots_example):
    prepared = shots_example.prepare_ghz(QUBITS)
    before = prepared.stabilizers()
    first = shots_example.sample_with_processes(prepared, 64, 2, 11)
    again = shots_example.sample_with_processes(prepared, 64, 2, 11)
    other = shots_example.sample_with_processes(prepared, 64, 2, 12)
    for shots in (first, again, other):
        assert_ghz_shots(shots, 64)
    assert first == again
    assert first != other  # equal with probability 2**-64
    assert {shot[0] for shot in first} == {0, 1}  # both branches show up
    assert prepared.stabilizers() == before  # sampling measured copies only


@pytest.mark.parametrize("shots, workers", [(7, 2), (64, 2), (5, 3), (1, 2), (0, 2)])
def test_process_pool_matches_the_plan_run_here(shots_example, shots, workers):
    # The pool gives exactly what running each worker's share in this
    # process gives, in worker order: pickling kept the prepared state, and
    # scheduling plays no part.
    prepared = shots_example.prepare_ghz(QUBITS)
    here = [
        shot
        for sequence, count in shots_example.worker_plan(shots, workers, 3)
        for shot in shots_example.run_shots(prepared, sequence, count)
    ]
    assert_ghz_shots(here, shots)
    assert shots_example.sample_with_processes(prepared, shots, workers, 3) == here


@pytest.mark.parametrize(
    "shots, workers, shares",
    [
        (10, 3, [4, 3, 3]),
        (2, 4, [1, 1, 0, 0]),
        (0, 2, [0, 0]),
        (6, 1, [6]),
    ],
)
def test_split_shots(shots_example, shots, workers, shares):
    assert shots_example.split_shots(shots, workers) == shares


@pytest.mark.parametrize("shots, workers", [(-1, 2), (4, 0)])
def test_split_shots_rejects(shots_example, shots, workers):
    with pytest.raises(ValueError):
        shots_example.split_shots(shots, workers)


def test_shot_seeds(shots_example):
    from numpy.random import SeedSequence

    seeds = shots_example.shot_seeds(SeedSequence(1), 50)
    assert seeds == shots_example.shot_seeds(SeedSequence(1), 50)
    assert len(set(seeds)) == 50 and all(0 <= seed < 2**128 for seed in seeds)
    assert any(seed >= 2**64 for seed in seeds)  # the high word is used
    assert set(seeds).isdisjoint(shots_example.shot_seeds(SeedSequence(2), 50))


def test_dask_matches_process_pool(shots_example):
    pytest.importorskip("dask.distributed")
    prepared = shots_example.prepare_ghz(QUBITS)
    on_dask = shots_example.sample_with_dask(prepared, 40, 2, 8)
    assert_ghz_shots(on_dask, 40)
    assert on_dask == shots_example.sample_with_processes(prepared, 40, 2, 8)


def test_dask_missing_is_explained(shots_example, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "dask.distributed", None)  # as if not installed
    with pytest.raises(ImportError, match=re.escape("pip install 'lumora[dask]'")):
        shots_example.sample_with_dask(shots_example.prepare_ghz(3), 4, 1, 0)
    assert shots_example.main(["--backend", "dask", "--shots", "4", "--workers", "1"]) == 2
    assert "lumora[dask]" in capsys.readouterr().err
