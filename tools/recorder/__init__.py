"""The recorder: what Chromium does with cookies, recorded into tests/data/.

Run as ``python -m tools.recorder`` from the repository root; see
``__main__.py`` for the commands and CONTRIBUTING.md for the package.
"""
