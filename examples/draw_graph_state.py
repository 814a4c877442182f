"""Draw a stabilizer state as lumora stores it: a graph, and a local Clifford on each qubit.

The state is |+>^n, then CZ on every edge, then on each qubit the gates of its word (letters of HSXYZ, applied left to
right; I for none). Each entangled group gets its own colour; measured qubits, which are unentangled, are grey.

The default state is a 4 x 4 cluster after a Y measurement (which joins the measured qubit's neighbours to each other)
and an X measurement (a pivot, which rewires the neighbourhoods of two qubits), beside a GHZ state of four qubits grown
by CX from one qubit (a star).

    python examples/draw_graph_state.py                 # writes graph-state.png
    python examples/draw_graph_state.py out.png --seed 3

Needs networkx and matplotlib: pip install 'lumora[draw]'.
"""

from __future__ import annotations

import argparse
import sys

import matplotlib
import networkx
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from lumora import Lumora

SIDE = 4  # the cluster is SIDE x SIDE, qubits 0 .. SIDE**2 - 1, row by row
GHZ = 4  # the GHZ state's qubits follow the cluster's
Position = tuple[float, float]
NODE_SIZE = 900


def build_state(seed: int) -> tuple[Lumora, dict[int, Position]]:
    """The default state, and where to draw each qubit: the cluster on its grid, the GHZ state to its right."""
    n = SIDE * SIDE
    sim = Lumora(n + GHZ, seed=seed)
    for q in range(n):
        sim.h(q)
    for row in range(SIDE):
        for col in range(SIDE):
            q = row * SIDE + col
            if col + 1 < SIDE:
                sim.cz(q, q + 1)
            if row + 1 < SIDE:
                sim.cz(q, q + SIDE)
    sim.measure_y(5)  # its four neighbours become joined to each other
    sim.measure_x(10)  # a pivot on one of its neighbours
    sim.h(n)
    for q in range(n + 1, n + GHZ):
        sim.cx(n, q)
    positions = {row * SIDE + col: (float(col), float(SIDE - 1 - row)) for row in range(SIDE) for col in range(SIDE)}
    positions[n] = (SIDE + 1.0, (SIDE - 1) / 2)
    for k in range(1, GHZ):
        positions[n + k] = (SIDE + 2.0, (SIDE - 1) / 2 + (k - (GHZ) / 2) * 1.2)
    return sim, positions


def distance(a: Position, b: Position) -> float:
    return float(((a[0] - b[0]) ** 2 + (a[1] - b[1]) ** 2) ** 0.5)


def draw(sim: Lumora, path: str, positions: dict[int, Position] | None = None, title: str = "") -> None:
    """Writes a picture of `sim`'s graph to `path`; without `positions` the layout is networkx's spring layout."""
    graph = sim.to_networkx()
    if positions is None:
        positions = {q: (float(x), float(y)) for q, (x, y) in networkx.spring_layout(graph, seed=1).items()}
    where = positions
    palette = matplotlib.colormaps["tab10"]
    groups: dict[int, int] = {}  # qubit -> colour index of its entangled group
    for q in graph.nodes:
        if q not in groups and graph.degree(q) > 0:
            colour = len(set(groups.values()))
            groups.update(dict.fromkeys(sim.get_entangled_group(q), colour))
    colours = [palette(groups[q] % 10) if q in groups else (0.8, 0.8, 0.8, 1.0) for q in graph.nodes]
    labels = {q: f"{q}\n{graph.nodes[q]['local_clifford'] or 'I'}" for q in graph.nodes}

    # edges between neighbours on the drawing are straight, longer ones bent so that they pass beside the nodes
    near = [(a, b) for a, b in graph.edges if distance(where[a], where[b]) <= 1.0]
    far = [(a, b) for a, b in graph.edges if distance(where[a], where[b]) > 1.0]
    figure = Figure(figsize=(9, 6), dpi=120)
    FigureCanvasAgg(figure)  # drawn by Agg, to a file: no display, and pyplot's figures are left alone
    axes = figure.subplots()
    for edges, bend in ((near, 0.0), (far, 0.2)):
        networkx.draw_networkx_edges(
            graph,
            where,
            edgelist=edges,
            ax=axes,
            width=1.5,
            edge_color="#555555",
            node_size=NODE_SIZE,
            arrows=True,
            arrowstyle="-",
            connectionstyle=f"arc3,rad={bend}",
        )
    networkx.draw_networkx_nodes(graph, where, ax=axes, node_size=NODE_SIZE, node_color=colours, edgecolors="black")
    networkx.draw_networkx_labels(graph, where, labels=labels, ax=axes, font_size=8)
    axes.set_title(title or f"{sim.num_qubits} qubits, {graph.number_of_edges()} edges")
    axes.set_axis_off()
    axes.margins(0.08)
    figure.tight_layout()
    figure.savefig(path)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("path", nargs="?", default="graph-state.png", help="the PNG to write")
    parser.add_argument("--seed", type=int, default=7, help="seed of the measurement outcomes")
    args = parser.parse_args(argv)
    sim, positions = build_state(args.seed)
    title = (
        f"{SIDE} x {SIDE} cluster after measure_y(5) and measure_x(10), and a {GHZ}-qubit GHZ state\n"
        "label: qubit, local Clifford word (applied after CZ on every edge of |+...+>)"
    )
    draw(sim, args.path, positions, title)
    edges, _ = sim.graph()
    print(f"wrote {args.path}: {sim.num_qubits} qubits, {len(edges)} edges")
    return 0


if __name__ == "__main__":
    sys.exit(main())
