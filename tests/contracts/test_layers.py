"""Who may import whom, read from the sources: the package's layers (a
format or a store knows rows, never the jar, the command line or each
other; the browsers package reads files and keys and hands rows to the
formats, never to a jar or a store; a client adapter knows the jar's public
methods only), and the recorder, which the tests import and which imports
no test code."""

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
    (f"src/{P}/_rows.py", [f"{P}.cli", f"{P}.jar"], set()),
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
EXEMPT: dict[str, set[str]] = {}


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
        exempt = EXEMPT.get(str(where), set())
        found += [f"{where} imports {name}" for name in _imported(path, tree)
                  if name not in exempt
                  and any(name == m or name.startswith(m + ".") for m in modules)]
        used = {node.attr for node in ast.walk(tree) if isinstance(node, ast.Attribute)}
        found += [f"{where} uses .{name}" for name in sorted(used & attributes)]
    assert not found
