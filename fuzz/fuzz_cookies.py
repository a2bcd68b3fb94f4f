#!/usr/bin/env python3
"""Coverage-guided fuzzing of glimmering_copper_otter.cookies with atheris.

Run it through scripts/fuzz.sh, which builds the extension with clang's
coverage instrumentation and the address and undefined-behaviour
sanitizers, preloads the sanitizer runtime that carries libFuzzer, and
passes libFuzzer its corpus directories.  The targets themselves are in
tests/gco_testkit/fuzz_targets.py, shared with the test suite, which
fuzz.sh puts on the import path.
"""

import sys

import atheris

# The extension is instrumented at build time; the harness's own Python is
# instrumented here, so that its branches (which checks ran) guide too.
import glimmering_copper_otter.cookies  # noqa: F401

with atheris.instrument_imports(include=["gco_testkit"]):
    from gco_testkit import fuzz_targets as targets


def test_one_input(data):
    targets.one_input(data)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
