"""What docs/api.md and docs/tutorial.md promise: every ```python block runs as a reader would run it, each in a fresh
namespace; the reference names every public class member, and names nothing that does not exist; the files the
docs link to exist; and the example that draws a graph state writes a picture."""

import re
from pathlib import Path

import pytest

import lumora

from helpers import fenced_blocks, run_python

ROOT = Path(__file__).resolve().parents[2]
API, TUTORIAL = ROOT / "docs" / "api.md", ROOT / "docs" / "tutorial.md"
DOCS = (API, TUTORIAL)
# packages a block may import that lumora does not install: the block is skipped without them
OPTIONAL = {"stim": "stim", "networkx": "'lumora[networkx]'", "matplotlib": "matplotlib"}


BLOCKS = [(path, line, source) for path in DOCS for line, source in fenced_blocks(path)]


@pytest.mark.parametrize("path", DOCS, ids=lambda p: p.name)
def test_every_python_block_is_found(path):
    # a fence written differently (indented, "py", trailing text) would be skipped silently by the runner below
    opened = [line for line in path.read_text(encoding="utf-8").splitlines() if re.match(r"\s*```\s*py", line)]
    assert len(fenced_blocks(path)) == len(opened) >= 5


@pytest.mark.parametrize("path, line, source", BLOCKS, ids=[f"{p.name}:{line}" for p, line, _ in BLOCKS])
def test_python_block(path, line, source, tmp_path, monkeypatch):
    for module in re.findall(r"^\s*(?:import|from)\s+(\w+)", source, re.MULTILINE):
        if module in OPTIONAL:
            pytest.importorskip(
                module, reason=f"needs {module}, which is not installed (pip install {OPTIONAL[module]})"
            )
    monkeypatch.chdir(tmp_path)
    # padded so that a traceback names the document's own line numbers
    exec(compile("\n" * (line - 1) + source, str(path), "exec"), {"__name__": "doc_block"})


def mentioned(path):
    """The ``Class.member`` names a document mentions, for the classes of lumora (not stim's ``stim.Circuit``)."""
    classes = "|".join(lumora.__all__)
    return set(re.findall(rf"(?<![\w.])(?:lumora\.)?({classes})\.(\w+)", path.read_text(encoding="utf-8")))


def test_api_names_every_public_member():
    named = mentioned(API)
    members = {(c, m) for c in lumora.__all__ for m in vars(getattr(lumora, c)) if not m.startswith("_")}
    assert members - named == set()


@pytest.mark.parametrize("path", DOCS, ids=lambda p: p.name)
def test_docs_name_only_real_members(path):
    assert {(c, m) for c, m in mentioned(path) if not hasattr(getattr(lumora, c), m)} == set()


def anchors(path):
    """The anchors of a Markdown file's headings, made as GitHub makes them."""
    headings = re.findall(r"^#+ (.*)$", path.read_text(encoding="utf-8"), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


@pytest.mark.parametrize("path", DOCS, ids=lambda p: p.name)
def test_links_lead_somewhere(path):
    # links and pictures outside code, [text](target#anchor) and ![alt](target): web addresses left out
    text = re.sub(r"```.*?```|`[^`\n]*`", "", path.read_text(encoding="utf-8"), flags=re.DOTALL)
    links = re.findall(r"\]\(([^)#:\s]*)(?:#([^)\s]*))?\)", text)
    assert any(target for target, _ in links), "no link to another file"
    for target, anchor in links:
        assert (path.parent / target).exists(), target
        assert not anchor or anchor in anchors(path.parent / (target or path.name)), f"{target}#{anchor}"


def test_graph_state_example_draws_a_picture(tmp_path):
    for module in ("networkx", "matplotlib"):
        pytest.importorskip(module, reason=f"examples/draw_graph_state.py needs {module}, which is not installed")
    done = run_python(str(ROOT / "examples" / "draw_graph_state.py"), "picture.png", cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stderr
    picture = (tmp_path / "picture.png").read_bytes()
    assert picture.startswith(b"\x89PNG\r\n\x1a\n") and len(picture) > 10_000
    assert "picture.png" in done.stdout
