"""Who may import whom, read from the sources: the package's floors (each
module imports only floors below its own, or its own unit), no import
circle between modules nor between units; a client adapter and an
application know the jar's public methods only; and the recorder, which
the tests import and which imports no test code."""

import ast
from pathlib import Path

import pytest

from glimmering_copper_otter.jar import CookieJar

ROOT = Path(__file__).resolve().parents[2]
P = "glimmering_copper_otter"
# The format modules, which a client adapter does not reach into.
FORMATS = [f"{P}.formats.{path.stem}" for path in (ROOT / "src" / P / "formats").glob("*.py")
           if path.stem != "__init__"]
# A jar's own underscore-prefixed attributes: its rows and their loading.
JAR_PRIVATE = {name for name in dir(CookieJar) if name.startswith("_") and not name.endswith("__")}

# (files, as a glob under the repository root; modules they must not
# import, nor anything under them; attributes they must not use)
RULES = [
    ("tools/recorder/*.py", ["gco_testkit"], set()),
    ("tools/recorder/scenarios.py", ["tools.recorder.sequences"], set()),
    ("tools/recorder/sequences.py", ["tools.recorder.scenarios"], set()),
    (f"src/{P}/formats/*.py", [f"{P}.cli", f"{P}.jar", f"{P}.stores", f"{P}.clients",
                               f"{P}.browsers"], set()),
    (f"src/{P}/browsers/*.py", [f"{P}.cli", f"{P}.jar", f"{P}.stores", f"{P}.clients",
                                f"{P}._jar"], set()),
    (f"src/{P}/stores/*.py", [f"{P}.cli", f"{P}.jar", f"{P}.formats", f"{P}.clients",
                              f"{P}.browsers"], set()),
    (f"src/{P}/clients/*.py", [f"{P}.cli", f"{P}.jar", f"{P}.stores", f"{P}._jar", f"{P}.browsers",
                               *FORMATS],
     JAR_PRIVATE),
    (f"src/{P}/live/*.py", [f"{P}.cli", f"{P}.jar", f"{P}.stores", f"{P}._jar", f"{P}.browsers",
                            f"{P}.clients"], JAR_PRIVATE),
    (f"src/{P}/cli/*.py", [], JAR_PRIVATE),
    (f"src/{P}/scrapy.py", [f"{P}.cli"], JAR_PRIVATE),
]
# The floors, lowest first: a unit is a module or subpackage of the package
# (its first name under it, or a longer one named here); the native modules
# and the package itself are the ground floor.
FLOORS = [
    {"", "cookies", "writer", "cookie_header", "browser", "_jar", "morsel"},
    {"rows"},
    {"stores", "formats"},
    {"browsers", "live"},  # importers and the live wire: rows through formats
    {"clients"},
    {"jar"},
    {"cli", "scrapy"},
    {"__main__", "clients.scrapy"},  # entries: the command, the middleware's former address
]
FLOOR = {unit: number for number, units in enumerate(FLOORS) for unit in units}
MODULES = {".".join(path.relative_to(ROOT / "src").with_suffix("").parts).removesuffix(
    ".__init__"): path for path in (ROOT / "src" / P).rglob("*.py")}


def _imported(path, tree):
    """The modules a file imports; a name taken from a module counts as a
    module under it too (it may be one)."""
    parts = path.relative_to(ROOT).with_suffix("").parts
    package = parts[1 if parts[0] == "src" else 0:-1]
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = package[:len(package) - node.level + 1] if node.level else ()
            module = ".".join([*base, *([node.module] if node.module else [])])
            yield module
            yield from (f"{module}.{alias.name}" for alias in node.names)


@pytest.mark.parametrize("files, modules, attributes", RULES, ids=[r[0] for r in RULES])
def test_layers(files, modules, attributes):
    paths = sorted(ROOT.glob(files))
    assert paths, files
    found = []
    for path in paths:
        tree = ast.parse(path.read_text(), str(path))
        where = path.relative_to(ROOT)
        found += [f"{where} imports {name}" for name in _imported(path, tree)
                  if any(name == m or name.startswith(m + ".") for m in modules)]
        used = {node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)}
        found += [f"{where} uses .{name}" for name in sorted(used & attributes)]
    assert not found


def _unit(module):
    parts = module.split(".")[1:]
    return next((".".join(parts[:n]) for n in range(len(parts), 0, -1)
                 if ".".join(parts[:n]) in FLOOR), "")


def _edges():
    """(importer, imported) for the package's modules, imports inside
    functions too; a name taken from a module is that module, or the
    submodule of its name."""
    for module, path in MODULES.items():
        names = list(_imported(path, ast.parse(path.read_text(), str(path))))
        for name in names:
            # "from X import a": X itself only for a name that is no submodule.
            taken = [other for other in names if other.startswith(name + ".")
                     and "." not in other[len(name) + 1:]]
            if name in MODULES and name != module and (
                    not taken or any(other not in MODULES for other in taken)):
                yield module, name


def test_floors():
    assert set(map(_unit, MODULES)) <= set(FLOOR), "a unit of the package has no floor"
    found = [f"{a} (floor {FLOOR[_unit(a)]}) imports {b} (floor {FLOOR[_unit(b)]})"
             for a, b in _edges()
             if _unit(a) != _unit(b) and FLOOR[_unit(b)] >= FLOOR[_unit(a)]]
    assert not found


def _circle(edges):
    """A circle of the graph, as a list of its nodes, or None."""
    graph = {}
    for a, b in edges:
        if a != b:
            graph.setdefault(a, set()).add(b)
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for following in sorted(graph.get(node, ())):
            if state.get(following) == "open":
                return trail[trail.index(following):] + [following]
            if following not in state and (circle := visit(following, trail + [following])):
                return circle
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state and (circle := visit(node, [node])):
            return circle
    return None


@pytest.mark.parametrize("level", ["module", "unit"])
def test_no_import_circle(level):
    edges = list(_edges())
    if level == "unit":
        edges = [(_unit(a), _unit(b)) for a, b in edges]
    assert _circle(edges) is None
    assert _circle([("a", "b"), ("b", "c"), ("c", "a")]) == ["a", "b", "c", "a"]
