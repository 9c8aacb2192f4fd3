"""What the package promises beyond its calls: annotations every Python it
claims can evaluate, and a crate scan that agrees with kt40's."""

import inspect
import json
import re
import subprocess
import typing

import kt40
from conftest import build_dir

# Written as text (from __future__ import annotations), evaluated by
# typing.get_type_hints: before 3.9 and 3.10, list[int] and int | None fail.
NEWER_SYNTAX = re.compile(r"\b(list|tuple|dict|set|frozenset|type)\[|\|")


def _annotated():
    for module in (kt40.crate, kt40.script, kt40.errors, kt40._library):
        for _, member in inspect.getmembers(module):
            if getattr(member, "__module__", None) != module.__name__:
                continue
            if inspect.isfunction(member):
                yield member
            elif inspect.isclass(member):
                yield member
                yield from (f for f in vars(member).values() if inspect.isfunction(f))


def test_annotations_evaluate_on_every_python_the_package_claims():
    checked = 0
    for thing in _annotated():
        for name, text in getattr(thing, "__annotations__", {}).items():
            assert not NEWER_SYNTAX.search(str(text)), f"{thing.__qualname__}.{name}: {text}"
        typing.get_type_hints(thing)
        checked += 1
    assert checked > 30


def test_scan_gives_the_grid_kt40_scan_gives():
    grid = kt40.Crate(0).scan()
    assert len(grid) == 24 and all(len(row) == 16 for row in grid)
    assert grid[4][0].x and grid[4][0].q  # the register in station 5
    assert not grid[8][0].x  # station 9 is empty
    kt40.Crate(0).cnaf(5, 0, 16, data=1)  # (the grid is of F0 whatever is written)
    shown = subprocess.run([str(build_dir() / "tools" / "kt40" / "kt40"), "--json", "scan", "0"],
                           capture_output=True, text=True, env={"KT40_SIM_STATE": "private"}, check=True)
    rows = [json.loads(line) for line in shown.stdout.splitlines() if line.startswith("{")]
    rows = [r for r in rows if "n" in r]
    assert [[int(cell.x) for cell in row] for row in grid] == [r["x"] for r in rows]
    assert [[int(cell.q) for cell in row] for row in grid] == [r["q"] for r in rows]
