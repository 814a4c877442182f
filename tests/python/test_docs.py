"""What the README and the examples promise, run as a user would run it."""

import importlib
import re
import shlex
import sys
from pathlib import Path

import pytest

from lumora import Circuit

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


def small_circuit(shots_example, noise=0.05):
    """A repetition-code memory circuit of the example's own, noisy enough that a few shots show events."""
    return Circuit(shots_example.repetition_code_text(3, 2, noise))


@pytest.mark.parametrize("shots, job_shots", [(0, 256), (1, 256), (256, 256), (257, 256), (10_000, 4096)])
def test_job_plan(shots_example, shots, job_shots):
    from numpy.random import SeedSequence

    plan = shots_example.job_plan(shots, 9, job_shots)
    sizes = [count for _, count in plan]
    assert sum(sizes) == shots
    assert all(count == job_shots for count in sizes[:-1]) and all(0 < count <= job_shots for count in sizes)
    # job j's seed is child j of SeedSequence(seed), whatever the number of jobs
    children = SeedSequence(9).spawn(len(plan) + 3)
    assert [sequence.spawn_key for sequence, _ in plan] == [child.spawn_key for child in children[: len(plan)]]
    assert all(sequence.entropy == 9 for sequence, _ in plan)


@pytest.mark.parametrize("shots, job_shots", [(-1, 256), (4, 0)])
def test_job_plan_rejects(shots_example, shots, job_shots):
    with pytest.raises(ValueError):
        shots_example.job_plan(shots, 0, job_shots)


def test_repetition_code_is_quiet_without_noise(shots_example):
    circuit = small_circuit(shots_example, noise=0.0)
    assert (circuit.num_detectors, circuit.num_observables) == (2 + 2 + 2, 1)
    events = circuit.compile_detector_sampler(seed=1).sample(512, append_observables=True)
    assert not events.any()


def test_repetition_code_matches_stim(shots_example):
    stim = pytest.importorskip("stim")
    text = shots_example.repetition_code_text(5, 4, 0.02)
    ours = Circuit(text).compile_detector_sampler(seed=2).sample(20_000, append_observables=True)
    theirs = stim.Circuit(text).compile_detector_sampler(seed=2).sample(20_000, append_observables=True)
    assert ours.mean() > 0.01
    assert abs(ours.mean(axis=0) - theirs.mean(axis=0)).max() < 0.01


def test_process_pool_matches_the_jobs_run_here(shots_example):
    # Whatever the worker count, the pool gives what running the jobs one by one in this process gives: each
    # job's seed depends on the top-level seed and the job's index only.
    circuit = small_circuit(shots_example)
    here = shots_example.no_counts(circuit)
    for sequence, count in shots_example.job_plan(9000, 3):
        here += shots_example.run_job(circuit, sequence, count)
    assert here.shots == 9000 and here.detector_events.sum() > 0
    for workers in (1, 2, 3):
        assert shots_example.sample_with_processes(circuit, 9000, workers, 3) == here
    assert shots_example.sample_with_processes(circuit, 9000, 2, 4) != here


def test_counts_add_up(shots_example):
    circuit = small_circuit(shots_example)
    (first, a), (second, b) = shots_example.job_plan(300, 1, 256)
    one = shots_example.run_job(circuit, first, a)
    two = shots_example.run_job(circuit, second, b)
    both = one + two
    assert both.shots == 300
    assert (both.detector_events == one.detector_events + two.detector_events).all()
    assert both.flipped_shots == one.flipped_shots + two.flipped_shots
    assert one.flipped_shots == one.observable_flips.sum()  # one observable: a flipped shot is a flip


def test_dask_matches_process_pool(shots_example):
    pytest.importorskip("dask.distributed")
    circuit = small_circuit(shots_example)
    on_dask = shots_example.sample_with_dask(circuit, 5000, 2, 8)
    assert on_dask.shots == 5000
    assert on_dask == shots_example.sample_with_processes(circuit, 5000, 2, 8)


def test_dask_missing_is_explained(shots_example, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "dask.distributed", None)  # as if not installed
    with pytest.raises(ImportError, match=re.escape("pip install 'lumora[dask]'")):
        shots_example.sample_with_dask(small_circuit(shots_example), 4, 1, 0)
    assert shots_example.main(["--backend", "dask", "--shots", "4", "--workers", "1"]) == 2
    assert "lumora[dask]" in capsys.readouterr().err


def test_example_without_stim_prints_the_same_for_any_worker_count(shots_example, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "stim", None)  # as if not installed: the repetition code
    printed = []
    for workers in (1, 3):
        assert shots_example.main(["--shots", "9000", "--workers", str(workers), "--seed", "6"]) == 0
        printed.append(capsys.readouterr().out.splitlines())
    assert "repetition code" in printed[0][0]
    assert printed[0][1:] == printed[1][1:]
