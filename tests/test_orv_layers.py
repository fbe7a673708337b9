"""The front end is built in layers: no module of python/orv imports, directly
or through others, a module that imports it back (an import inside a
function counts as well; it only moves the circle to run time)."""
from __future__ import annotations

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "orv"


def module_name(path: Path) -> str:
    return "orv" if path.stem == "__init__" else f"orv.{path.stem}"


def imports_of(path: Path, modules: set[str]) -> set[str]:
    """The modules of the package that `path` imports, anywhere in it."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            found |= {a.name for a in node.names if a.name.split(".")[0] == "orv"}
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                base = "orv" + (f".{node.module}" if node.module else "")
            elif (node.module or "").split(".")[0] == "orv":
                base = node.module
            else:
                continue
            # `from orv import x` names the module orv.x when there is one,
            # else something of the package itself
            found |= {f"{base}.{a.name}" if f"{base}.{a.name}" in modules else base
                      for a in node.names}
    return {m for m in found if m in modules}


def import_graph() -> dict[str, set[str]]:
    paths = sorted(PACKAGE.glob("*.py"))
    modules = {module_name(p) for p in paths}
    return {module_name(p): imports_of(p, modules) - {module_name(p)} for p in paths}


def find_circle(graph: dict[str, set[str]]) -> list[str] | None:
    """A circle of imports (its modules, the first one repeated at the end), or None."""
    state: dict[str, int] = {}      # 1: on the current path, 2: done
    path: list[str] = []

    def visit(m: str) -> list[str] | None:
        state[m] = 1
        path.append(m)
        for n in sorted(graph[m]):
            if state.get(n) == 1:
                return path[path.index(n):] + [n]
            if n not in state and (found := visit(n)):
                return found
        path.pop()
        state[m] = 2
        return None

    for m in sorted(graph):
        if m not in state and (found := visit(m)):
            return found
    return None


def test_the_graph_sees_every_kind_of_import():
    graph = import_graph()
    assert "orv.single" in graph["orv.codec"]          # from . import single, stack
    assert "orv.arrays" in graph["orv.stack"]          # from .arrays import check_dtype
    assert "orv.imageio" in graph["orv.zarr_convert"]  # inside a function
    assert "orv" in graph["orv.cli"]                   # from . import __version__


def test_the_circle_finder_finds_a_circle_through_a_function_import():
    graph = {"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": set()}
    assert find_circle(graph) == ["a", "b", "c", "a"]
    graph["c"] = {"d"}
    assert find_circle(graph) is None


def test_no_import_circles_in_the_front_end():
    assert find_circle(import_graph()) is None
