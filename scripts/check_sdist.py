"""Checks a source distribution against the allowlist below.

    python scripts/check_sdist.py dist/glimmering_copper_otter-0.1.0.tar.gz

Every file of the archive must match an allowed pattern (so nothing of a
build tree, a venv or a built module gets in), and the files that building
and testing need must be there.  Exits with status 1 and lists the offending
paths otherwise.  A new kind of file that belongs in the sdist gets its
pattern here.
"""

import sys
import tarfile
from pathlib import PurePosixPath

# Paths relative to the archive's top directory; "**" spans directories.
ALLOWED = [
    # Metadata and the build.
    "PKG-INFO", "pyproject.toml", "README.md", "CONTRIBUTING.md", "LICENSE", ".clang-format",
    "CHANGELOG.md", "SECURITY.md",
    # The docs site (its examples run in the tests) and its MkDocs hook.
    "mkdocs.yml", "docs/*.md", "docs/hooks.py",
    "CMakeLists.txt", "**/CMakeLists.txt", "cmake/*.cmake",
    # The package (interpreted code, declarations, stubs) and the C++ sources.
    "src/glimmering_copper_otter/*.py", "src/glimmering_copper_otter/*.pyi",
    "src/glimmering_copper_otter/*/*.py",
    "src/glimmering_copper_otter/*.pxd", "src/glimmering_copper_otter/*.h",
    "src/glimmering_copper_otter/py.typed",
    "src/**/*.cpp", "src/**/*.hpp", "src/**/*.h", "src/**/*.inc",
    # The Public Suffix List, the script that compiles it, its licence and note.
    "src/common/public_suffix/public_suffix_list.dat", "src/common/public_suffix/make_table.py",
    "src/common/public_suffix/LICENSE", "src/common/public_suffix/README.md",
    # The tests with their data and client modules.
    "tests/**/*.py", "tests/**/*.pyx", "tests/**/*.cpp", "tests/**/*.h",
    "tests/**/*.txt", "tests/**/*.json", "tests/**/*.html",
    # The fuzz harness and its corpus (inputs have no suffix).
    "fuzz/*.py", "fuzz/README.md", "fuzz/corpus/*",
    # Benchmarks, the scripts and the developer tools (the browser recorder).
    "benchmarks/*.py", "benchmarks/*.cpp", "benchmarks/*.png",
    "scripts/*.sh", "scripts/*.py", "scripts/**/*.py", "scripts/**/*.js",
    # The generators and recorders of the data above.
    "tools/**/*.py",
]

# Never in an sdist, whatever pattern they match.
FORBIDDEN_PARTS = {"build", "dist", "__pycache__", ".hypothesis", ".pytest_cache", ".mypy_cache"}
FORBIDDEN_SUFFIXES = {".so", ".o", ".a", ".pyc", ".whl"}

REQUIRED = [
    "pyproject.toml", "CMakeLists.txt", "README.md", "CONTRIBUTING.md", "LICENSE",
    "mkdocs.yml", "docs/index.md", "tests/test_docs.py",
    "src/glimmering_copper_otter/__init__.py", "src/glimmering_copper_otter/cookies.h",
    "src/glimmering_copper_otter/cookies.pxd", "src/glimmering_copper_otter/cookies.pyi",
    "src/glimmering_copper_otter/writer.pyi", "src/glimmering_copper_otter/py.typed",
    "src/writer/writer.cpp", "tests/conftest.py", "tests/stubtest-allowlist.txt",
    "fuzz/fuzz_cookies.py", "tests/gco_testkit/fuzz_targets.py",
    "src/common/public_suffix/public_suffix_list.dat", "src/common/public_suffix/make_table.py",
    "src/common/public_suffix/LICENSE", "src/glimmering_copper_otter/jar.py",
    "src/glimmering_copper_otter/stores/sqlite.py", "src/glimmering_copper_otter/formats/netscape.py",
    "src/glimmering_copper_otter/clients/__init__.py", "src/glimmering_copper_otter/cli/__init__.py",
    "src/glimmering_copper_otter/browsers/__init__.py", "src/glimmering_copper_otter/formats/chromium.py",
    "src/glimmering_copper_otter/formats/firefox.py",
    "src/glimmering_copper_otter/stores/postgres.py", "tools/postgres_server.py",
]
# Directories that must hold at least one file matching the pattern.
REQUIRED_SOME = ["src/cookies/*.cpp", "tests/test_*.py", "tests/data/*.py", "fuzz/corpus/*"]


def problems(names):
    found = []
    for name in names:
        path = PurePosixPath(name)
        if (path.suffix in FORBIDDEN_SUFFIXES or FORBIDDEN_PARTS & set(path.parts)
                or any(part.startswith(".venv") for part in path.parts)):
            found.append(f"forbidden: {name}")
        elif not any(path.full_match(pattern) for pattern in ALLOWED):
            found.append(f"not in the allowlist: {name}")
    present = set(names)
    found += [f"missing: {name}" for name in REQUIRED if name not in present]
    for pattern in REQUIRED_SOME:
        if not any(PurePosixPath(name).full_match(pattern) for name in names):
            found.append(f"missing: {pattern}")
    return found


def main(sdist):
    with tarfile.open(sdist) as archive:
        members = [member for member in archive.getmembers() if not member.isdir()]
    tops = {member.name.split("/", 1)[0] for member in members}
    if len(tops) != 1:
        print(f"{sdist}: expected one top directory, got {sorted(tops)}", file=sys.stderr)
        return 1
    names = [member.name.split("/", 1)[1] for member in members if "/" in member.name]
    found = problems(names)
    for line in found:
        print(f"{sdist}: {line}", file=sys.stderr)
    if not found:
        print(f"{sdist}: {len(names)} files, all allowed")
    return 1 if found else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
